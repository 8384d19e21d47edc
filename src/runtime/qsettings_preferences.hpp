#pragma once
#include <QSettings>
#include <QString>

#include "model/preferences.hpp"

namespace vigilorb::runtime {

// The app's preferences in QSettings' native format: on Linux
// $XDG_CONFIG_HOME/VigilorbCompanion/VigilorbCompanion.conf (else ~/.config/…). Keys are stored
// exactly as given.
class QSettingsPreferences final : public Preferences {
public:
    QSettingsPreferences();
    // A given INI file, for tests.
    explicit QSettingsPreferences(const QString& file);

    std::optional<std::string> string(std::string_view key) const override;
    std::optional<bool> boolean(std::string_view key) const override;
    std::optional<long long> integer(std::string_view key) const override;
    void setString(std::string_view key, std::string_view value) override;
    void setBoolean(std::string_view key, bool value) override;
    void setInteger(std::string_view key, long long value) override;
    void remove(std::string_view key) override;

private:
    mutable QSettings settings_;
};

}  // namespace vigilorb::runtime
