#include "runtime/qsettings_preferences.hpp"

namespace vigilorb::runtime {

namespace {
QString keyOf(std::string_view key) { return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())); }
}  // namespace

QSettingsPreferences::QSettingsPreferences()
    : settings_(QSettings::NativeFormat, QSettings::UserScope, "VigilorbCompanion", "VigilorbCompanion") {}

QSettingsPreferences::QSettingsPreferences(const QString& file) : settings_(file, QSettings::IniFormat) {}

std::optional<std::string> QSettingsPreferences::string(std::string_view key) const {
    auto v = settings_.value(keyOf(key));
    if (!v.isValid()) return std::nullopt;
    return v.toString().toStdString();
}

// The INI format keeps values as text, so "true"/"false" and numbers come back as strings;
// the conversions accept exactly what the setters wrote.
std::optional<bool> QSettingsPreferences::boolean(std::string_view key) const {
    auto v = settings_.value(keyOf(key));
    if (!v.isValid()) return std::nullopt;
    auto text = v.toString();
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

std::optional<long long> QSettingsPreferences::integer(std::string_view key) const {
    auto v = settings_.value(keyOf(key));
    if (!v.isValid()) return std::nullopt;
    bool ok = false;
    auto n = v.toString().toLongLong(&ok);
    if (!ok) return std::nullopt;
    return n;
}

void QSettingsPreferences::setString(std::string_view key, std::string_view value) {
    settings_.setValue(keyOf(key), QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())));
    settings_.sync();
}

void QSettingsPreferences::setBoolean(std::string_view key, bool value) {
    settings_.setValue(keyOf(key), value);
    settings_.sync();
}

void QSettingsPreferences::setInteger(std::string_view key, long long value) {
    settings_.setValue(keyOf(key), QString::number(value));
    settings_.sync();
}

void QSettingsPreferences::remove(std::string_view key) {
    settings_.remove(keyOf(key));
    settings_.sync();
}

}  // namespace vigilorb::runtime
