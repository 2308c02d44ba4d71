// One JSON object a line, as kavlet-flash --json writes them: compact, members in the order
// added, through nlohmann-json. Pure functions.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace flash {

// The text as a JSON string, quotes included: quote, backslash and control characters (DEL
// too) are escaped; bytes that are not UTF-8 (a file name may hold any) become U+FFFD.
std::string JsonString(std::string_view text);

// Builds one object, its members in the order added: {"a":1,"b":"x"}.
class JsonObject {
  public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) {
        return Add(key, std::string_view(value));
    }
    JsonObject& Add(std::string_view key, std::int64_t value);
    JsonObject& Add(std::string_view key, int value) { return Add(key, std::int64_t{value}); }
    JsonObject& Add(std::string_view key, unsigned value) { return Add(key, std::int64_t{value}); }
    JsonObject& Add(std::string_view key, std::uint64_t value) {
        return Add(key, static_cast<std::int64_t>(value));
    }
    JsonObject& Add(std::string_view key, bool value);
    // A number with three decimals (seconds).
    JsonObject& AddSeconds(std::string_view key, double seconds);
    // An array of objects.
    JsonObject& Add(std::string_view key, const std::vector<JsonObject>& objects);
    std::string Text() const;

  private:
    nlohmann::ordered_json members_ = nlohmann::ordered_json::object();
};

}  // namespace flash
