#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vigilorb {

// The user preferences of the app, keyed by dotted, versioned names ("provider.codexAccounts.v1").
// The app stores them with QSettings (runtime/qsettings_preferences.hpp); core code and tests
// take this interface so that they need neither Qt nor the user's real preferences.
class Preferences {
public:
    virtual ~Preferences() = default;
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    virtual std::optional<bool> boolean(std::string_view key) const = 0;
    virtual std::optional<long long> integer(std::string_view key) const = 0;
    virtual void setString(std::string_view key, std::string_view value) = 0;
    virtual void setBoolean(std::string_view key, bool value) = 0;
    virtual void setInteger(std::string_view key, long long value) = 0;
    virtual void remove(std::string_view key) = 0;
};

// Preferences that live as long as the object; for tests and for runs without a settings file.
class MemoryPreferences final : public Preferences {
public:
    std::optional<std::string> string(std::string_view key) const override { return get<std::string>(key); }
    std::optional<bool> boolean(std::string_view key) const override { return get<bool>(key); }
    std::optional<long long> integer(std::string_view key) const override { return get<long long>(key); }
    void setString(std::string_view key, std::string_view value) override { values_[std::string(key)] = std::string(value); }
    void setBoolean(std::string_view key, bool value) override { values_[std::string(key)] = value; }
    void setInteger(std::string_view key, long long value) override { values_[std::string(key)] = value; }
    void remove(std::string_view key) override { values_.erase(std::string(key)); }

private:
    template <class T>
    std::optional<T> get(std::string_view key) const {
        auto it = values_.find(std::string(key));
        if (it == values_.end()) return std::nullopt;
        if (auto* v = std::get_if<T>(&it->second)) return *v;
        return std::nullopt;
    }
    std::map<std::string, std::variant<std::string, bool, long long>> values_;
};

}  // namespace vigilorb
