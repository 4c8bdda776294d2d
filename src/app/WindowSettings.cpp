#include "WindowSettings.h"

#include "KESSerialPort.h"

#include <QSettings>

namespace {

constexpr const char* portKey = "port";
constexpr const char* baudRateKey = "baudRate";
constexpr const char* reconnectKey = "reconnectsAfterReplug";
constexpr const char* sizeKey = "window/size";
constexpr const char* positionKey = "window/position";
constexpr const char* maximizedKey = "window/maximized";
constexpr const char* locoAddressKey = "locoAddress";
constexpr const char* stationKindsKey = "stationKinds";
constexpr const char* refreshesBoardKey = "refreshesBoard";
constexpr const char* phonesEnabledKey = "phones/enabled";
constexpr const char* phonesPortKey = "phones/port";
constexpr const char* phonesHeartbeatKey = "phones/heartbeat";
constexpr const char* layoutNameKey = "phones/layoutName";
constexpr const char* phonesMaxKey = "phones/max";

std::optional<bool> switchAt(const QSettings& settings, const char* key) {
    // QSettings' text files give "true" and "false" back as strings.
    const QString text = settings.value(key).toString();
    if (text == "true" || text == "false") {
        return text == "true";
    }
    return std::nullopt;
}

// The unsigned number stored under key, if there is one that reads as such.
std::optional<std::uint64_t> numberAt(const QSettings& settings, const char* key) {
    if (!settings.contains(key)) {
        return std::nullopt;
    }
    bool ok = false;
    const qulonglong value = settings.value(key).toULongLong(&ok);
    return ok ? std::optional<std::uint64_t>(value) : std::nullopt;
}

} // namespace

WindowSettings WindowSettings::load(const QSettings& settings) {
    WindowSettings loaded;
    if (settings.contains(portKey)) {
        const QString port = settings.value(portKey).toString();
        if (!port.isEmpty()) {
            loaded.port = port;
        }
    }
    if (const auto rate = numberAt(settings, baudRateKey); rate && *rate > 0) {
        loaded.baudRate = rate;
    }
    loaded.reconnectsAfterReplug = switchAt(settings, reconnectKey);
    loaded.refreshesBoard = switchAt(settings, refreshesBoardKey);
    loaded.phonesEnabled = switchAt(settings, phonesEnabledKey);
    if (const auto port = numberAt(settings, phonesPortKey); port && *port > 0 && *port < 65536) {
        loaded.phonesPort = port;
    }
    if (const auto beat = numberAt(settings, phonesHeartbeatKey);
        beat && *beat > 0 && *beat <= 3600) {
        loaded.phonesHeartbeat = beat;
    }
    if (const auto most = numberAt(settings, phonesMaxKey); most && *most > 0 && *most <= 256) {
        loaded.phonesMax = most;
    }
    if (settings.contains(layoutNameKey)) {
        loaded.layoutName = settings.value(layoutNameKey).toString();
    }
    // One "kind port-key" entry per port.
    for (const QString& entry : settings.value(stationKindsKey).toStringList()) {
        const qsizetype space = entry.indexOf(' ');
        if (space > 0 && space + 1 < entry.size()) {
            loaded.stationKinds[entry.mid(space + 1)] = entry.left(space);
        }
    }
    if (const QVariant size = settings.value(sizeKey); size.canConvert<QSize>()) {
        if (const QSize value = size.toSize(); value.isValid() && !value.isEmpty()) {
            loaded.windowSize = value;
        }
    }
    if (const QVariant position = settings.value(positionKey); position.canConvert<QPoint>()) {
        loaded.windowPosition = position.toPoint();
    }
    loaded.maximized = settings.value(maximizedKey).toString() == "true";
    if (const auto address = numberAt(settings, locoAddressKey); address && *address > 0) {
        loaded.locoAddress = static_cast<std::int64_t>(*address);
    }
    return loaded;
}

void WindowSettings::save(QSettings& settings) const {
    auto put = [&settings](const char* key, const auto& value) {
        if (value) {
            settings.setValue(key, *value);
        } else {
            settings.remove(key);
        }
    };
    put(portKey, port);
    put(baudRateKey, baudRate ? std::optional<qulonglong>(*baudRate) : std::nullopt);
    put(reconnectKey, reconnectsAfterReplug);
    put(refreshesBoardKey, refreshesBoard);
    put(phonesEnabledKey, phonesEnabled);
    put(phonesPortKey, phonesPort ? std::optional<qulonglong>(*phonesPort) : std::nullopt);
    put(phonesHeartbeatKey,
        phonesHeartbeat ? std::optional<qulonglong>(*phonesHeartbeat) : std::nullopt);
    put(layoutNameKey, layoutName);
    put(phonesMaxKey, phonesMax ? std::optional<qulonglong>(*phonesMax) : std::nullopt);
    QStringList kinds;
    for (const auto& [key, kind] : stationKinds) {
        kinds.append(kind + ' ' + key);
    }
    if (kinds.isEmpty()) {
        settings.remove(stationKindsKey);
    } else {
        settings.setValue(stationKindsKey, kinds);
    }
    put(sizeKey, windowSize);
    put(positionKey, windowPosition);
    settings.setValue(maximizedKey, maximized);
    put(locoAddressKey, locoAddress ? std::optional<qlonglong>(*locoAddress) : std::nullopt);
    settings.sync();
}

std::unique_ptr<QSettings> WindowSettings::userSettings() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "dcc-cab",
                                       "dcc-cab");
}

QString WindowSettings::keyOfPort(const KESSerialPort& port) {
    if (const DeviceHandle device = port.IOKitDevice()) {
        if (auto link = KESSerialPort::bsdDialinPathFromDevice(device); link && !link->empty()) {
            return QString::fromStdString(*link);
        }
    }
    return QString::fromStdString(port.path());
}

std::shared_ptr<KESSerialPort>
WindowSettings::portForKey(const QString& key,
                           const std::vector<std::shared_ptr<KESSerialPort>>& ports) {
    for (const auto& port : ports) {
        if (port && (keyOfPort(*port) == key || QString::fromStdString(port->path()) == key)) {
            return port;
        }
    }
    return nullptr;
}
