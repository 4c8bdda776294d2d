#pragma once

#include "SimulatedTextStation.h"
#include "SpeedMode.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A DCC-EX command station on a pseudo-terminal, as its USB serial port behaves.
//
// It reads commands in <...>: bytes outside the brackets are ignored, a '<' starts a command
// afresh, and a command keeps at most 100 characters with its brackets (the rest is dropped; the
// command still runs at its '>'). Each reply and broadcast line ends in "\n":
//   <s>                 -> <iDCC-EX V-5.0.0 / SIMULATED / DCC Cab>, then <p1> or <p0>
//   <#>                 -> <# 50>, the size of the loco table
//   <t cab speed dir>   -> cab 1-10239 (above 127 a long address), speed -1 (emergency stop), 0
//                          (stop) or 1-126, dir 1 forward, 0 reverse; <l cab slot speedbyte
//                          functmap> only if the loco's speed byte changed. The old form
//                          <t reg cab speed dir> answers <T reg speed dir> first.
//   <t cab>             -> <l cab slot speedbyte functmap>, or <l cab -1 128 0> for a loco not
//                          in the table
//   <F cab f 0|1>       -> function f (0-28); <l ...> only if the function map changed
//   <!>                 -> every loco in the table emergency-stopped; <l ...> for each changed
//   <1>, <0>, <1 MAIN>  -> track power; <p1> or <p0> only if it changed
//   <M reg b1 ... bn>   -> the raw packet of 1 to 5 hex bytes (the error byte is added); no reply
//   anything else       -> <X>
// speedbyte is the 128-step speed byte: bit 7 forward, 0 stop, 1 emergency stop, n+1 for step
// n; functmap has bit n for Fn; slot is the loco's place in the table, from 0.
//
// The loco table is the station's memory: a loco enters it with its first <t> or <F>, and the
// station keeps its speed and functions on the track. Its packets, and <M> packets, reach the
// layout only while the track has power; when power comes on the station puts every loco in the
// table back on the track (its speed, and the functions it was ever sent). <!> also sends the
// broadcast emergency stop, which stops every locomotive on the track.
//
// Events: a Command or BadCommand for every command, numbered from 1, with its bytes from '<' to
// '>' as kept; an Unprompted one for restart() and inject(). Threading and ownership as
// SimulatedTextStation says.
class SimulatedDCCEX : public SimulatedTextStation {
public:
    static constexpr std::size_t maxLocos = 50;
    static constexpr std::size_t maxCommand = 100; // characters, the brackets included

    // Opens the pseudo-terminal; nothing is served until start(). Throws std::system_error if
    // none can be had. powerOn: whether the track has power from the start.
    explicit SimulatedDCCEX(Observer observer = {}, bool powerOn = true,
                            SpeedMode baselineMode = SpeedMode::Steps28);
    ~SimulatedDCCEX() override;

    // The station resets, as when its board restarts: it forgets every loco (the layout is
    // emptied too), the track loses power and a command half received is lost; it writes
    // "<* License GPLv3 fsf.org (c) dcc-ex.com *>", the <iDCC-EX line and <p0>.
    void restart();

private:
    struct Loco {
        int cab = 0;
        std::uint8_t speedByte = 128; // stopped, forward
        std::uint32_t functions = 0;  // bit n for Fn
        std::uint32_t everSent = 0;   // the functions a command has set, on or off
    };
    struct Outcome; // what a command did: its event and its reply

    void received(std::string_view bytes) override;
    void execute(const std::string& command);
    Outcome speed(const std::vector<std::string>& words);
    Outcome function(const std::vector<std::string>& words);
    Outcome emergencyStop();
    Outcome power(const std::vector<std::string>& words, bool on);
    Outcome rawPacket(const std::vector<std::string>& words);
    Loco* findLoco(int cab);
    Loco* takeLoco(int cab);
    std::string locoLine(const Loco& loco) const;
    // Sends the loco's speed packet, or the packet of the function group that holds f.
    DecodedPacket sendSpeed(const Loco& loco);
    DecodedPacket sendFunctions(const Loco& loco, int f);

    // Station thread only.
    std::string command_; // from '<', while inCommand_
    bool inCommand_ = false;
    std::size_t dropped_ = 0; // characters of this command beyond maxCommand
    std::vector<Loco> locos_; // the loco table, in slot order
};
