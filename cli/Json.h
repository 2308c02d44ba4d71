// One JSON object a line, as kavlet-flash --json writes them. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace flash {

// The text as a JSON string, quotes included: quote, backslash and control characters are
// escaped; bytes that are not UTF-8 (a file name may hold any) become U+FFFD.
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
    // Text that is JSON already (an array, an object).
    JsonObject& AddRaw(std::string_view key, std::string_view json);
    std::string Text() const { return text_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string text_ = "{";
};

}  // namespace flash
