#pragma once

#include "SimulatedTextStation.h"
#include "SpeedMode.h"

#include <string>
#include <string_view>

// A SPROG in command-station mode on a pseudo-terminal: the host sends every DCC packet, one at a
// time, and waits for the prompt.
//
// It reads commands that end in '\r' (a '\n' is ignored; a command keeps at most 100
// characters, and one longer is an error). Every command is answered with a reply that ends in
// the prompt "P> ", written in two writes, the second only once the program has read the first,
// so that the program must put the reply together: the text before the prompt, then "P> "; or,
// when there is no text before it, "P" then "> ".
//   O hh hh ...  (2 to 6 hex bytes, the error byte last) -> "\r\nP> "; the packet is decoded
//                and, while the track has power, applied to the layout. A wrong error byte, bad
//                hex or a wrong count -> "!E\r\nP> "
//   +, -         -> track power on, off; "\r\nP> "
//   ?            -> "\r\nSPROG 3 Ver 4.6 (simulated)\r\nP> "
//   (blank)      -> "P> "
//   anything else -> "!E\r\nP> "
//
// Events: a Command, BadCommand or BadErrorByte for every command, numbered from 1, with its bytes
// as received ('\r' included); an Unprompted one for overload() and inject(). Threading and
// ownership as SimulatedTextStation says.
class SimulatedSPROG : public SimulatedTextStation {
public:
    static constexpr std::size_t maxCommand = 100;

    // Opens the pseudo-terminal; nothing is served until start(). Throws std::system_error if
    // none can be had. powerOn: whether the track has power from the start.
    explicit SimulatedSPROG(Observer observer = {}, bool powerOn = true,
                            SpeedMode baselineMode = SpeedMode::Steps28);
    ~SimulatedSPROG() override;

    // The track trips: power goes off at once, and the next reply carries "!O\r\n" just before
    // its prompt (nothing unsolicited, so that the program's replies stay in step).
    void overload();

private:
    void received(std::string_view bytes) override;
    void execute();
    // Reports the event and writes body and the prompt in two writes.
    void answer(SimulatorEvent& event, std::string body);

    // Station thread only.
    std::string command_;
    std::size_t dropped_ = 0;
    bool overloadOwed_ = false;
};
