// Phone throttles against the real program: `dcc-cab --headless --simulate --withrottle=0
// --heartbeat 10 --script -` as a child, its WiThrottle server on a port the system picks (read
// from the child's standard error) and its built-in board answering on a pseudo-terminal. The
// board prints one line on standard output for every frame it took, with the locomotive and the
// speed step the frame set.
//
//   withrottle_bench table DCC_CAB [ROUNDS]   the rows of bench/run's table
//
// Latency: each client holds its own locomotive (S1, S2, ..) on throttle 0 and sends a speed,
// alternately V30 and V90, as soon as the board's line shows its previous one; the time counted
// runs from the write of "M0AS<k><;>V<n>" to the read of the first board line for locomotive k
// whose speed differs from the one it had on the wire before. Idle cost: RSS and CPU of the child
// with 100 clients connected (greeted, named, one locomotive acquired each, then silent) against
// the same child with none. Run through bench/parts/withrottle.sh, never by CTest.

#include "ChildCpu.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int baud = 38400;
constexpr int idleClients = 100;
// Left to pass before each idle window: the start (or the connections' greetings) and its tail.
constexpr std::chrono::milliseconds settle{1000};
constexpr std::chrono::milliseconds idleWindow{2000};
constexpr std::chrono::milliseconds drivenWindow{1500};
constexpr std::chrono::seconds patience{10};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "withrottle_bench: %s\n", what.c_str());
    std::exit(1);
}

// Resident memory of another process, in kB.
double childRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            double kb = 0;
            status >> kb;
            return kb;
        }
    }
    fail("no VmRSS for the child");
}

// One board line: the frame's bytes and what it set.
struct BoardLine {
    std::uint64_t number = 0;
    std::size_t frameBytes = 0;
    int loco = 0;      // 0: not a locomotive's speed
    std::string speed; // "step 14 of 28", "stopped (28 steps)", ..
};

// " board #12   03 03 78 7B   loco 3: step 14 of 28, forward"; false for anything else, or a line
// cut before the speed's comma.
bool parseBoardLine(const std::string& line, BoardLine& parsed) {
    if (line.rfind(" board #", 0) != 0) {
        return false;
    }
    char* end = nullptr;
    parsed.number = std::strtoull(line.c_str() + 8, &end, 10);
    std::size_t at = static_cast<std::size_t>(end - line.c_str());
    parsed.frameBytes = 0;
    while (true) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string::npos || at + 2 > line.size() || std::isxdigit(line[at]) == 0 ||
            std::isxdigit(line[at + 1]) == 0 || (at + 2 < line.size() && line[at + 2] != ' ')) {
            break;
        }
        ++parsed.frameBytes;
        at += 2;
    }
    parsed.loco = 0;
    const std::size_t loco = line.find("loco ", at == std::string::npos ? line.size() : at);
    if (loco == std::string::npos) {
        return true;
    }
    const std::size_t colon = line.find(": ", loco);
    const std::size_t comma = line.find(',', colon == std::string::npos ? line.size() : colon);
    if (colon == std::string::npos || comma == std::string::npos) {
        return false;
    }
    parsed.loco = std::atoi(line.c_str() + loco + 5);
    parsed.speed = line.substr(colon + 2, comma - colon - 2);
    return true;
}

// The child and its three pipes. Standard error is drained as it comes, so that the child never
// blocks on it; standard output is split into board lines.
class Child {
public:
    explicit Child(const char* program) {
        int input[2], output[2], errors[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 ||
            ::pipe2(errors, O_CLOEXEC) != 0) {
            fail("no pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
        std::vector<std::string> arguments{
            program,       "--headless", "--simulate", "--withrottle=0",
            "--heartbeat", "10",         "--script",   "-"};
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, program, &actions, nullptr, argv.data(), environ) != 0) {
            fail(std::string("cannot start ") + program);
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        ::close(errors[1]);
        script_ = input[1];
        stdout_ = output[0];
        stderr_ = errors[0];
        ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
        ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
    }

    ~Child() {
        ::close(script_);
        ::kill(pid_, SIGTERM);
        char chunk[65536];
        // Drained so that the child never blocks on a full pipe while it quits.
        for (int fd : {stdout_, stderr_}) {
            ::fcntl(fd, F_SETFL, 0);
            while (::read(fd, chunk, sizeof chunk) > 0) {
            }
            ::close(fd);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    int out() const { return stdout_; }
    int err() const { return stderr_; }
    int port() const { return port_; }

    // Reads what standard error holds; notes the port once announced.
    void readErrors() {
        char chunk[4096];
        ssize_t count;
        while ((count = ::read(stderr_, chunk, sizeof chunk)) > 0) {
            errors_.append(chunk, static_cast<std::size_t>(count));
        }
        if (count == 0 && port_ == 0) {
            fail("the program stopped before its server listened: " + errors_);
        }
        const std::string marker = "(WiThrottle) on port ";
        const std::size_t at = errors_.find(marker);
        if (port_ == 0 && at != std::string::npos && errors_.find('\n', at) != std::string::npos) {
            port_ = std::atoi(errors_.c_str() + at + marker.size());
        }
        if (errors_.size() > 65536) {
            errors_.erase(0, errors_.size() - 4096);
        }
    }

    // Reads what standard output holds and hands every board line to take, at most once each. The
    // program writes a line's newline before it, not after, so a line is taken as soon as it
    // parses whole.
    template <typename Take>
    void readLines(Take take) {
        char chunk[65536];
        ssize_t count;
        while ((count = ::read(stdout_, chunk, sizeof chunk)) > 0) {
            pending_.append(chunk, static_cast<std::size_t>(count));
        }
        if (count == 0) {
            fail("the program stopped early");
        }
        std::size_t from = 0;
        while (from < pending_.size()) {
            const std::size_t newline = pending_.find('\n', from);
            const bool whole = newline != std::string::npos;
            const std::string line =
                pending_.substr(from, whole ? newline - from : std::string::npos);
            BoardLine parsed;
            if (!tailTaken_ && parseBoardLine(line, parsed)) {
                take(parsed);
                tailTaken_ = !whole;
            }
            if (!whole) {
                break;
            }
            tailTaken_ = false;
            from = newline + 1;
        }
        pending_.erase(0, from);
    }

private:
    pid_t pid_ = -1;
    int script_ = -1, stdout_ = -1, stderr_ = -1;
    int port_ = 0;
    std::string errors_, pending_;
    bool tailTaken_ = false;
};

// One phone: a TCP connection that holds locomotive S<loco> on throttle 0.
struct Client {
    int fd = -1;
    int loco = 0;
    std::string received;
    bool acquired = false;
    bool closed = false;
    // Latency: the locomotive's speed last seen on the wire, the one it had when the command was
    // written, and when that was.
    std::string onWire;
    std::string speedBefore;
    bool waiting = false;
    Clock::time_point sent;
    int commands = 0;
};

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, 100);
        } else {
            fail(std::string("cannot write to the server: ") + std::strerror(errno));
        }
    }
}

Client connectClient(int port, int loco) {
    Client client;
    client.loco = loco;
    client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail(std::string("cannot connect: ") + std::strerror(errno));
    }
    const int one = 1;
    ::setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(client.fd, F_SETFL, O_NONBLOCK);
    const std::string key = "S" + std::to_string(loco);
    writeAll(client.fd, "Nbench " + std::to_string(loco) + "\nHUbench-" + std::to_string(loco) +
                            "\nM0+" + key + "<;>" + key + "\n");
    return client;
}

// Reads what the server sent; notes the acquire's answer and a closed connection.
void readClient(Client& client) {
    char chunk[65536];
    ssize_t count;
    while ((count = ::recv(client.fd, chunk, sizeof chunk, 0)) > 0) {
        if (!client.acquired) {
            client.received.append(chunk, static_cast<std::size_t>(count));
            const std::string answer = "M0+S" + std::to_string(client.loco) + "<;>";
            if (client.received.find(answer) != std::string::npos) {
                client.acquired = true;
                client.received.clear();
            }
        }
    }
    if (count == 0 || (count < 0 && errno != EAGAIN)) {
        client.closed = true;
    }
}

// Waits up to timeout for anything from the child or the clients and reads it all.
template <typename Take>
void pump(Child& child, std::vector<Client>& clients, int timeoutMs, Take take) {
    std::vector<pollfd> ready{{child.out(), POLLIN, 0}, {child.err(), POLLIN, 0}};
    for (const Client& client : clients) {
        ready.push_back({client.closed ? -1 : client.fd, POLLIN, 0});
    }
    if (::poll(ready.data(), ready.size(), timeoutMs) <= 0) {
        return;
    }
    if (ready[1].revents != 0) {
        child.readErrors();
    }
    if (ready[0].revents != 0) {
        child.readLines(take);
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        if (ready[i + 2].revents != 0) {
            readClient(clients[i]);
        }
    }
}

void waitForPort(Child& child) {
    std::vector<Client> none;
    const Clock::time_point until = Clock::now() + patience;
    while (child.port() == 0) {
        if (Clock::now() > until) {
            fail("the program never said its port");
        }
        pump(child, none, 100, [](const BoardLine&) {});
    }
}

// Connects count clients (locomotives 1..count) and waits until each has its locomotive or was
// turned away. Returns the number turned away.
int connectAll(Child& child, std::vector<Client>& clients, int count) {
    for (int loco = 1; loco <= count; ++loco) {
        clients.push_back(connectClient(child.port(), loco));
    }
    const Clock::time_point until = Clock::now() + patience;
    while (std::any_of(clients.begin(), clients.end(),
                       [](const Client& c) { return !c.acquired && !c.closed; })) {
        if (Clock::now() > until) {
            fail("the clients were never all answered");
        }
        pump(child, clients, 100, [](const BoardLine&) {});
    }
    return static_cast<int>(
        std::count_if(clients.begin(), clients.end(), [](const Client& c) { return !c.acquired; }));
}

void closeAll(std::vector<Client>& clients) {
    for (Client& client : clients) {
        ::close(client.fd);
    }
    clients.clear();
}

// Lets the child run for window, reading everything; returns the board lines seen.
int idleFor(Child& child, std::vector<Client>& clients, std::chrono::milliseconds window) {
    int lines = 0;
    const Clock::time_point until = Clock::now() + window;
    for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        pump(child, clients, static_cast<int>(left.count()) + 1,
             [&](const BoardLine&) { ++lines; });
    }
    return lines;
}

struct Driven {
    std::vector<double> latenciesMs;
    double frameBytes = 0; // mean bytes of the speed frames that ended a wait
    double replyBytes = 0; // the board's "OK <n>\n" to each of them
};

void sendSpeed(Client& client) {
    const int speed = client.commands++ % 2 == 0 ? 30 : 90;
    const std::string key = "S" + std::to_string(client.loco);
    client.sent = Clock::now();
    client.speedBefore = client.onWire;
    client.waiting = true;
    writeAll(client.fd, "M0A" + key + "<;>V" + std::to_string(speed) + "\n");
}

// count clients drive their own locomotives for the window, each sending its next speed as soon as
// its last one is on the wire.
Driven drive(const char* program, int count) {
    Child child(program);
    waitForPort(child);
    std::vector<Client> clients;
    if (connectAll(child, clients, count) != 0) {
        fail("the server turned clients away");
    }
    std::map<int, Client*> byLoco;
    for (Client& client : clients) {
        byLoco[client.loco] = &client;
    }
    Driven driven;
    std::size_t frames = 0;
    bool measuring = false;
    auto take = [&](const BoardLine& line) {
        const auto found = byLoco.find(line.loco);
        if (found == byLoco.end()) {
            return;
        }
        Client& client = *found->second;
        client.onWire = line.speed;
        if (!client.waiting || line.speed == client.speedBefore) {
            return;
        }
        const Clock::time_point now = Clock::now();
        client.waiting = false;
        // The first command of each client starts from a speed not yet seen on the wire.
        if (measuring && client.commands > 1) {
            driven.latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(now - client.sent).count());
            driven.frameBytes += static_cast<double>(line.frameBytes);
            driven.replyBytes += 4.0 + static_cast<double>(std::to_string(line.number).size());
            ++frames;
        }
        sendSpeed(client);
    };
    // Let the start and the acquires' own frames pass before the first command.
    idleFor(child, clients, std::chrono::milliseconds(300));
    for (Client& client : clients) {
        sendSpeed(client);
    }
    const Clock::time_point warm = Clock::now() + std::chrono::milliseconds(300);
    const Clock::time_point until = warm + drivenWindow;
    for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
        measuring = now >= warm;
        pump(child, clients, 50, take);
    }
    if (frames == 0) {
        fail("no speed reached the wire");
    }
    driven.frameBytes /= static_cast<double>(frames);
    driven.replyBytes /= static_cast<double>(frames);
    closeAll(clients);
    return driven;
}

struct Idle {
    int kept = 0;
    double rssMbNone = 0, rssMbAll = 0;
    double cpuUsPerSecondNone = 0, cpuUsPerSecondAll = 0;
    double rssKbPerClient = 0;
    double cpuUsPerSecondPerClient = 0;
    double linesPerSecondIdle = 0, linesPerSecondClients = 0;
};

Idle measureIdle(const char* program) {
    Child child(program);
    waitForPort(child);
    std::vector<Client> clients;
    idleFor(child, clients, settle);
    const double rssNone = childRssKb(child.pid());
    double cpu = childCpuSeconds(child.pid());
    const int linesNone = idleFor(child, clients, idleWindow);
    const double cpuNone = childCpuSeconds(child.pid()) - cpu;

    // The server turns away connections beyond its maximum: the figures are per connection kept.
    const int kept = idleClients - connectAll(child, clients, idleClients);
    if (kept == 0) {
        fail("the server turned every client away");
    }
    idleFor(child, clients, settle);
    const double rssAll = childRssKb(child.pid());
    cpu = childCpuSeconds(child.pid());
    const int linesAll = idleFor(child, clients, idleWindow);
    const double cpuAll = childCpuSeconds(child.pid()) - cpu;
    closeAll(clients);

    const double seconds = std::chrono::duration<double>(idleWindow).count();
    Idle idle;
    idle.kept = kept;
    idle.rssMbNone = rssNone / 1024;
    idle.rssMbAll = rssAll / 1024;
    idle.cpuUsPerSecondNone = cpuNone / seconds * 1e6;
    idle.cpuUsPerSecondAll = cpuAll / seconds * 1e6;
    idle.rssKbPerClient = (rssAll - rssNone) / kept;
    idle.cpuUsPerSecondPerClient = (cpuAll - cpuNone) / seconds / kept * 1e6;
    idle.linesPerSecondIdle = linesNone / seconds;
    idle.linesPerSecondClients = linesAll / seconds;
    return idle;
}

struct Spread {
    double median, least, most;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[at];
}

std::string shown(const Spread& figure, const char* unit) {
    char text[128];
    const char* format = figure.median < 10 ? "%.2f %s [%.2f-%.2f]" : "%.1f %s [%.1f-%.1f]";
    std::snprintf(text, sizeof text, format, figure.median, unit, figure.least, figure.most);
    return text;
}

int runTable(const char* program, int rounds) {
    ::signal(SIGPIPE, SIG_IGN);
    const int counts[] = {1, 20};
    std::map<int, std::vector<double>> p50, p99, longest, bytes, samples;
    std::vector<double> rss, cpu, linesIdle, linesClients;
    std::vector<double> rssNone, rssAll, cpuNone, cpuAll;
    int kept = idleClients;
    for (int round = 1; round <= rounds; ++round) {
        for (const int count : counts) {
            std::fprintf(stderr, "withrottle: round %d of %d, %d client%s driving\n", round, rounds,
                         count, count == 1 ? "" : "s");
            const Driven driven = drive(program, count);
            p50[count].push_back(percentile(driven.latenciesMs, 0.5));
            p99[count].push_back(percentile(driven.latenciesMs, 0.99));
            longest[count].push_back(percentile(driven.latenciesMs, 1.0));
            bytes[count].push_back(driven.frameBytes + driven.replyBytes);
            samples[count].push_back(static_cast<double>(driven.latenciesMs.size()));
        }
        std::fprintf(stderr, "withrottle: round %d of %d, %d idle clients\n", round, rounds,
                     idleClients);
        const Idle idle = measureIdle(program);
        kept = std::min(kept, idle.kept);
        rss.push_back(idle.rssKbPerClient);
        rssNone.push_back(idle.rssMbNone);
        rssAll.push_back(idle.rssMbAll);
        cpuNone.push_back(idle.cpuUsPerSecondNone);
        cpuAll.push_back(idle.cpuUsPerSecondAll);
        cpu.push_back(idle.cpuUsPerSecondPerClient);
        linesIdle.push_back(idle.linesPerSecondIdle);
        linesClients.push_back(idle.linesPerSecondClients);
    }
    for (const int count : counts) {
        const double frameBytes = spread(bytes[count]).median;
        const double frameMs = frameBytes * 10 / baud * 1e3;
        const Spread median = spread(p50[count]);
        const Spread tail = spread(p99[count]);
        const char* who = count == 1 ? "1 client" : "20 clients, one locomotive each";
        std::fprintf(
            stderr, "withrottle: %s: %.0f speeds measured a round (median), the longest wait %s\n",
            who, spread(samples[count]).median, shown(spread(longest[count]), "ms").c_str());
        // With every client waiting on its own frame, a paced line would send one frame each in
        // turn: the turn is what a client would wait for there.
        char turn[64] = "";
        if (count > 1) {
            std::snprintf(turn, sizeof turn, "; a turn of %d frames: %.1f ms", count,
                          frameMs * count);
        }
        std::printf("| WiThrottle, %s: speed command to its frame, p50 | %s | %.2f ms a frame at "
                    "%d baud (computed: %.1f frame + reply bytes x 10 bits)%s | %.2fx | - | - |\n",
                    who, shown(median, "ms").c_str(), frameMs, baud, frameBytes, turn,
                    median.median / frameMs);
        std::printf("| WiThrottle, %s: speed command to its frame, p99 | %s | %.2f ms a frame at "
                    "%d baud (computed)%s | %.2fx | - | - |\n",
                    who, shown(tail, "ms").c_str(), frameMs, baud, turn, tail.median / frameMs);
    }
    std::fprintf(stderr,
                 "withrottle: board lines a second while idle: %.1f with no client, %.1f with %d\n",
                 spread(linesIdle).median, spread(linesClients).median, kept);
    // "100 idle clients (32 kept)" when the server turned some away.
    std::string who = std::to_string(idleClients) + " idle clients";
    if (kept < idleClients) {
        who += " (" + std::to_string(kept) + " kept)";
    }
    std::printf("| WiThrottle, %s against none: RSS per connection | %s | whole process: %s "
                "with none, %s with %d | - | - | - |\n",
                who.c_str(), shown(spread(rss), "kB").c_str(), shown(spread(rssNone), "MB").c_str(),
                shown(spread(rssAll), "MB").c_str(), kept);
    std::printf("| WiThrottle, %s against none: CPU per connection | %s | whole process: %s "
                "with none, %s with %d | - | - | - |\n",
                who.c_str(), shown(spread(cpu), "us/s").c_str(),
                shown(spread(cpuNone), "us/s").c_str(), shown(spread(cpuAll), "us/s").c_str(),
                kept);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "table" && argc >= 3) {
        return runTable(argv[2], argc > 3 ? std::atoi(argv[3]) : 5);
    }
    std::fputs("usage: withrottle_bench table DCC_CAB [ROUNDS]\n", stderr);
    return 2;
}
