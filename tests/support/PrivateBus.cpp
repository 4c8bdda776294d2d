#include "PrivateBus.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int busesMade = 0; // main thread only

std::string makeDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dcccab-bus-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    }
    return pattern;
}

void writeConfig(const std::string& file, const std::string& socket) {
    std::ofstream config(file);
    config << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:path="
           << socket
           << "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n";
    if (!config.flush()) {
        throw std::runtime_error("cannot write " + file);
    }
}

// Reads the first line the daemon prints; empty if it ends or stays silent first. The limit is
// one only a hung daemon reaches.
std::string readLine(int descriptor) {
    std::string text;
    while (text.find('\n') == std::string::npos) {
        pollfd ready{descriptor, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 20000);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled != 1) {
            return {};
        }
        char buffer[256];
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return {};
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return text.substr(0, text.find('\n'));
}

} // namespace

PrivateBus::PrivateBus()
    : directory_(makeDirectory()), namePrefix_(QStringLiteral("private-bus-%1-").arg(++busesMade)) {
    const std::string configFile = directory_ + "/bus.conf";
    int output[2] = {-1, -1};
    try {
        writeConfig(configFile, directory_ + "/socket");
        if (::pipe2(output, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2: " + std::string(std::strerror(errno)));
        }
    } catch (...) {
        removeDirectory();
        throw;
    }

    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::string program = DCCCAB_DBUS_DAEMON;
    std::string noFork = "--nofork";
    std::string printAddress = "--print-address=1";
    std::string config = "--config-file=" + configFile;
    char* const argv[] = {program.data(), noFork.data(), printAddress.data(), config.data(),
                          nullptr};
    const pid_t parent = ::getpid();
    daemon_ = ::fork();
    if (daemon_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        if (::dup2(output[1], STDOUT_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(output[1]);
    if (daemon_ < 0) {
        ::close(output[0]);
        removeDirectory();
        throw std::runtime_error("fork: " + std::string(std::strerror(forkError)));
    }
    const std::string address = readLine(output[0]);
    ::close(output[0]);
    if (address.empty()) {
        stopDaemon();
        removeDirectory();
        throw std::runtime_error("dbus-daemon printed no address");
    }
    address_ = QString::fromStdString(address);
}

PrivateBus::~PrivateBus() {
    for (const QString& name : connectionNames_) {
        QDBusConnection::disconnectFromBus(name);
    }
    stopDaemon();
    removeDirectory();
}

QDBusConnection PrivateBus::connect(const QString& name) {
    const QString fullName = namePrefix_ + name;
    if (std::find(connectionNames_.begin(), connectionNames_.end(), fullName) ==
        connectionNames_.end()) {
        connectionNames_.push_back(fullName);
    }
    return QDBusConnection::connectToBus(address_, fullName);
}

void PrivateBus::stopDaemon() {
    if (daemon_ <= 0) {
        return;
    }
    ::kill(daemon_, SIGTERM);
    while (::waitpid(daemon_, nullptr, 0) < 0 && errno == EINTR) {
    }
    daemon_ = -1;
}

void PrivateBus::removeDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}
