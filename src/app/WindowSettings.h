#pragma once

#include <QPoint>
#include <QSize>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class KESSerialPort;
class QSettings;

// What the window remembers from one run to the next: the chosen port, by a name that survives
// replugging (see keyOfPort), its baud rate, the kind of command station on each port chosen so
// far, whether the board's decoders are refreshed, the reconnect option, the window's size, place
// and maximised state, and the shown locomotive's address. Absent values were never saved (or could
// not be read) and leave the program's defaults alone.
//
// A plain value: load and save read and write a QSettings the caller gives, userSettings the
// operator's own (the platform's usual place, ~/.config/dcc-cab/dcc-cab.conf on Linux). Main
// thread only.
struct WindowSettings {
    // What the simulated command station is remembered by: it has no device of its own.
    static constexpr const char* simulatedPortKey = "simulated command station";

    std::optional<QString> port;
    std::optional<std::uint64_t> baudRate;
    std::optional<bool> reconnectsAfterReplug;
    // The window's size and place when not maximised, and whether it was maximised.
    std::optional<QSize> windowSize;
    std::optional<QPoint> windowPosition;
    bool maximized = false;
    std::optional<std::int64_t> locoAddress;
    // The command station's kind ("board", "dccex", "sprog") by port key (simulatedPortKey for
    // the simulated station).
    std::map<QString, QString> stationKinds;
    std::optional<bool> refreshesBoard;
    // Phone throttles: served or not, the port, the heartbeat in seconds, the most phones at once,
    // the layout's name.
    std::optional<bool> phonesEnabled;
    std::optional<std::uint64_t> phonesPort;
    std::optional<std::uint64_t> phonesHeartbeat;
    std::optional<std::uint64_t> phonesMax;
    std::optional<QString> layoutName;

    bool operator==(const WindowSettings&) const = default;

    // What settings holds; values of the wrong type count as absent.
    static WindowSettings load(const QSettings& settings);
    // Writes every value, removes the absent ones, and flushes to storage.
    void save(QSettings& settings) const;
    // The operator's settings, owned by the caller.
    static std::unique_ptr<QSettings> userSettings();

    // The name a port is remembered by: the stable by-id link of its device where it has one,
    // else its path.
    static QString keyOfPort(const KESSerialPort& port);
    // The port among ports that key names (by its stable link or its path); null if none.
    static std::shared_ptr<KESSerialPort>
    portForKey(const QString& key, const std::vector<std::shared_ptr<KESSerialPort>>& ports);
};
