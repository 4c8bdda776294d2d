#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// Plays the command-station board on the master side of a pseudo-terminal for the wire
// benchmarks, the same way whoever writes the frames: reads one frame (its length byte and as
// many bytes after it), answers it "OK <n>\n" in one write, and times each turnaround, from the
// reply having been written to the next frame having been read.
//
// One thread only: run is called on the thread that plays the board (the caller's), and both
// callbacks run on it, inside run. The master descriptor stays the caller's.
class WireBoard {
public:
    // What one run measured, over the frames after the warm-up.
    struct Result {
        std::vector<double> turnaroundsNs; // one per measured frame, stalls left out
        double seconds = 0;                // from the last warm-up reply to the last frame read
        std::uint64_t frames = 0;          // measured frames
        double boardCpuSeconds = 0;        // this thread's CPU over the interval
        double programCpuSeconds = 0;      // the programCpu clock over the interval
        double frameBytes = 0;             // mean bytes per frame
        double replyBytes = 0;             // mean bytes per reply
        std::uint64_t stalls = 0;          // measured times the line went quiet and nudge ran again
    };
    // Called with the number of frames read so far: at the start (0), after every frame is read
    // (before its reply is written), and again when the line has been quiet for a while, so that
    // whoever writes the frames can be given something to write.
    using Nudge = std::function<void(std::uint64_t framesRead, bool quiet)>;
    // The CPU seconds used so far by what is measured; read at both ends of the interval.
    using CpuClock = std::function<double()>;

    explicit WireBoard(int master) : master_(master) {}

    // Answers warmUp + measured frames, then returns true; false when no frame came for
    // several seconds in spite of nudging (what writes them has gone), or the line failed.
    bool run(std::uint64_t warmUp, std::uint64_t measured, const Nudge& nudge,
             const CpuClock& programCpu, Result& result);

    // The calling thread's CPU seconds so far.
    static double threadCpuSeconds();

private:
    int master_;
};
