#include "RosterFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>
#include <array>
#include <cmath>
#include <cstdio>
#include <initializer_list>

namespace {

constexpr int formatVersion = 1;
constexpr std::array<std::int64_t, 3> speedStepsOfMode{14, 28, 128};
constexpr std::int64_t defaultSpeedSteps = 28;

// The first thing found wrong with the file, in words that follow "is damaged: ".
struct Damage {
    std::string what;
};

std::string kindOf(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Null:
        return "null";
    case QJsonValue::Bool:
        return value.toBool() ? "true" : "false";
    case QJsonValue::Double:
        return QString::number(value.toDouble()).toStdString();
    case QJsonValue::String:
        return "the text \"" + value.toString().toStdString() + "\"";
    case QJsonValue::Array:
        return "a list";
    case QJsonValue::Object:
        return "an object";
    case QJsonValue::Undefined:
        break;
    }
    return "nothing";
}

// Reads the fields of one JSON object strictly: unknown fields and wrong types are damage, told
// with where the object is.
class ObjectReader {
public:
    ObjectReader(const QJsonObject& object, std::string where,
                 std::initializer_list<const char*> known)
        : object_(object), where_(std::move(where)) {
        for (auto field = object.begin(); field != object.end(); ++field) {
            bool isKnown = false;
            for (const char* name : known) {
                isKnown = isKnown || field.key() == QLatin1String(name);
            }
            if (!isKnown) {
                fail("has a field \"" + field.key().toStdString() + "\" that is not part of it");
            }
        }
    }

    void setWhere(std::string where) { where_ = std::move(where); }

    [[noreturn]] void fail(const std::string& what) const { throw Damage{where_ + " " + what}; }

    std::optional<std::string> text(const char* key, bool required) const {
        const QJsonValue value = typed(key, required, &QJsonValue::isString, "text");
        return value.isUndefined() ? std::nullopt : std::optional(value.toString().toStdString());
    }

    // Whole numbers only: JSON numbers are doubles, and 3.5 or 1e300 is no address.
    std::optional<std::int64_t> wholeNumber(const char* key, bool required) const {
        const QJsonValue value = typed(key, required, &QJsonValue::isDouble, "a whole number");
        if (value.isUndefined()) {
            return std::nullopt;
        }
        const double number = value.toDouble();
        if (std::trunc(number) != number || std::fabs(number) > 1e15) {
            wrongType(key, "a whole number", value);
        }
        return static_cast<std::int64_t>(number);
    }

    std::optional<bool> flag(const char* key) const {
        const QJsonValue value = typed(key, false, &QJsonValue::isBool, "true or false");
        return value.isUndefined() ? std::nullopt : std::optional(value.toBool());
    }

    std::optional<QJsonArray> list(const char* key, bool required) const {
        const QJsonValue value = typed(key, required, &QJsonValue::isArray, "a list");
        return value.isUndefined() ? std::nullopt : std::optional(value.toArray());
    }

private:
    // The value at key, which must be of the kind is tests; undefined when it is absent and not
    // required.
    QJsonValue typed(const char* key, bool required, bool (QJsonValue::*is)() const,
                     const char* kind) const {
        const QJsonValue value = field(key, required);
        if (!value.isUndefined() && !(value.*is)()) {
            wrongType(key, kind, value);
        }
        return value;
    }

    QJsonValue field(const char* key, bool required) const {
        const QJsonValue value = object_.value(QLatin1String(key));
        if (value.isUndefined() && required) {
            fail(std::string("has no \"") + key + "\"");
        }
        return value;
    }

    [[noreturn]] void wrongType(const char* key, const char* wanted,
                                const QJsonValue& value) const {
        fail(std::string("has \"") + key + "\" " + kindOf(value) + ", but it must be " + wanted);
    }

    const QJsonObject& object_;
    std::string where_;
};

// One entry of a locomotive's "functions" into entry.
void readFunction(const QJsonValue& value, const std::string& where, RosterEntry& entry,
                  FunctionSet& listed) {
    if (!value.isObject()) {
        throw Damage{where + " is " + kindOf(value) + ", but it must be an object"};
    }
    const QJsonObject object = value.toObject();
    const ObjectReader reader(object, where, {"number", "label", "momentary"});
    const std::int64_t number = *reader.wholeNumber("number", true);
    if (!isValidFunction(number)) {
        reader.fail("has \"number\" " + std::to_string(number) + ", but functions go from 0 to " +
                    std::to_string(functionCount - 1));
    }
    const int function = static_cast<int>(number);
    if ((listed & functionBit(function)) != 0) {
        reader.fail("lists F" + std::to_string(function) + " a second time");
    }
    listed |= functionBit(function);
    entry.functionLabels[static_cast<std::size_t>(function)] =
        reader.text("label", false).value_or("");
    const bool momentary =
        reader.flag("momentary").value_or((defaultMomentaryFunctions & functionBit(function)) != 0);
    entry.momentaryFunctions = momentary ? entry.momentaryFunctions | functionBit(function)
                                         : entry.momentaryFunctions & ~functionBit(function);
}

RosterEntry readLocomotive(const QJsonValue& value, const std::string& where) {
    if (!value.isObject()) {
        throw Damage{where + " is " + kindOf(value) + ", but it must be an object"};
    }
    const QJsonObject object = value.toObject();
    ObjectReader reader(object, where, {"name", "address", "speedSteps", "functions"});
    RosterEntry entry;
    entry.name = *reader.text("name", true);
    const std::string named = where + " (\"" + entry.name + "\")";
    reader.setWhere(named);
    entry.address = *reader.wholeNumber("address", true);
    const std::int64_t speedSteps =
        reader.wholeNumber("speedSteps", false).value_or(defaultSpeedSteps);
    bool knownSteps = false;
    for (std::size_t mode = 0; mode < speedStepsOfMode.size(); ++mode) {
        if (speedStepsOfMode[mode] == speedSteps) {
            entry.speedMode = static_cast<std::int64_t>(mode);
            knownSteps = true;
        }
    }
    if (!knownSteps) {
        reader.fail("has \"speedSteps\" " + std::to_string(speedSteps) +
                    ", but it must be 14, 28 or 128");
    }
    const QJsonArray functions = reader.list("functions", false).value_or(QJsonArray());
    FunctionSet listed = 0;
    for (qsizetype index = 0; index < functions.size(); ++index) {
        readFunction(functions[index],
                     named + ", function entry " + std::to_string(index + 1) + ",", entry, listed);
    }
    return entry;
}

Roster readRoster(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        const auto line = bytes.left(error.offset).count('\n') + 1;
        throw Damage{"it is not JSON (" + error.errorString().toStdString() + " on line " +
                     std::to_string(line) + ")"};
    }
    if (!document.isObject()) {
        throw Damage{"it must hold one object with \"version\" and \"locomotives\""};
    }
    const QJsonObject root = document.object();
    const ObjectReader reader(root, "its top level", {"version", "locomotives"});
    const std::int64_t version = *reader.wholeNumber("version", true);
    if (version != formatVersion) {
        reader.fail("has \"version\" " + std::to_string(version) +
                    ", but this program reads version " + std::to_string(formatVersion));
    }
    const QJsonArray locomotives = *reader.list("locomotives", true);
    Roster roster;
    for (qsizetype index = 0; index < locomotives.size(); ++index) {
        const std::string where = "locomotive " + std::to_string(index + 1);
        RosterEntry entry = readLocomotive(locomotives[index], where);
        if (const auto refused = roster.problemWith(entry)) {
            throw Damage{where + " (\"" + entry.name + "\"): " + *refused};
        }
        roster.store(std::move(entry));
    }
    return roster;
}

// Moves the file at path out of the way of the next save, and says where to.
std::string keepAside(const QString& path) {
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-hhmmss");
    QString aside = path + ".damaged-" + stamp;
    // Two damaged loads in one second must not overwrite the first one kept.
    for (int attempt = 2; QFileInfo::exists(aside); ++attempt) {
        aside = path + ".damaged-" + stamp + "-" + QString::number(attempt);
    }
    QFile file(path);
    if (!file.rename(aside)) {
        return "It could not be kept aside as " + aside.toStdString() + " (" +
               file.errorString().toStdString() +
               "), so saving the roster will replace it; the roster starts empty.";
    }
    return "It has been kept as " + aside.toStdString() + " and the roster starts empty.";
}

// JSON text for text, which is UTF-8 (anything that is not becomes U+FFFD).
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char byte : QString::fromStdString(text).toStdString()) {
        const auto code = static_cast<unsigned char>(byte);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += byte;
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (code < 0x20) {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\u%04x", code);
            out += escaped.data();
        } else {
            out += byte;
        }
    }
    return out + "\"";
}

std::string locomotiveText(const RosterEntry& entry) {
    const bool knownMode = entry.speedMode >= 0 && entry.speedMode < 3;
    const std::int64_t speedSteps =
        knownMode ? speedStepsOfMode[static_cast<std::size_t>(entry.speedMode)] : defaultSpeedSteps;
    std::string text = "        {\n";
    text += "            \"name\": " + jsonString(entry.name) + ",\n";
    text += "            \"address\": " + std::to_string(entry.address) + ",\n";
    text += "            \"speedSteps\": " + std::to_string(speedSteps);
    std::string functions;
    for (int function = 0; function < functionCount; ++function) {
        const std::string& label = entry.functionLabels[static_cast<std::size_t>(function)];
        const bool momentary = (entry.momentaryFunctions & functionBit(function)) != 0;
        if (label.empty() &&
            momentary == ((defaultMomentaryFunctions & functionBit(function)) != 0)) {
            continue;
        }
        functions += functions.empty() ? "\n" : ",\n";
        functions += "                {\"number\": " + std::to_string(function) +
                     ", \"label\": " + jsonString(label) +
                     ", \"momentary\": " + (momentary ? "true" : "false") + "}";
    }
    if (!functions.empty()) {
        text += ",\n            \"functions\": [" + functions + "\n            ]";
    }
    return text + "\n        }";
}

// Written by hand rather than through QJsonDocument, whose objects sort their keys: the name
// stays first in each locomotive and each function stays on one line for whoever edits it.
std::string rosterText(const Roster& roster) {
    std::string text = "{\n    \"version\": " + std::to_string(formatVersion) + ",\n";
    text += "    \"locomotives\": [";
    const auto& entries = roster.entries();
    for (std::size_t index = 0; index < entries.size(); ++index) {
        text += (index == 0 ? "\n" : ",\n") + locomotiveText(entries[index]);
    }
    text += entries.empty() ? "]\n" : "\n    ]\n";
    return text + "}\n";
}

} // namespace

std::string RosterFile::defaultPath() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty()) {
        return {};
    }
    return (data + "/dcc-cab/roster.json").toStdString();
}

RosterFile::Loaded RosterFile::load(const std::string& path) {
    const QString filePath = QString::fromStdString(path);
    if (!QFileInfo::exists(filePath)) {
        return {};
    }
    std::string wrong;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        wrong = "could not be read (" + file.errorString().toStdString() + ")";
    } else {
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            wrong = "could not be read (" + file.errorString().toStdString() + ")";
        } else {
            try {
                return {readRoster(bytes), std::nullopt};
            } catch (const Damage& damage) {
                wrong = "is damaged: " + damage.what;
                // The Roster's own reasons are whole sentences.
                if (wrong.back() == '.') {
                    wrong.pop_back();
                }
            }
        }
    }
    return {Roster{}, "The roster file " + path + " " + wrong + ". " + keepAside(filePath)};
}

bool RosterFile::save(const Roster& roster, const std::string& path, std::string* why) {
    const auto fail = [&](const std::string& reason) {
        if (why != nullptr) {
            *why = "The roster could not be saved to " + path + ": " + reason + ".";
        }
        return false;
    };
    const QString filePath = QString::fromStdString(path);
    const QString folder = QFileInfo(filePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        return fail("the folder " + folder.toStdString() + " could not be made");
    }
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        return fail(file.errorString().toStdString());
    }
    const std::string text = rosterText(roster);
    // A short write shows in commit(), which then keeps the old file.
    file.write(text.data(), static_cast<qint64>(text.size()));
    if (!file.commit()) {
        return fail(file.errorString().toStdString());
    }
    return true;
}
