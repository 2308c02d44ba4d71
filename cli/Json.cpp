#include "cli/Json.h"

#include <cstdio>

namespace flash {
namespace {

using Json = nlohmann::ordered_json;

// A value other than an object, an array or seconds, as nlohmann-json writes it compactly, with
// DEL escaped as the other control characters are.
std::string Dump(const Json& value) {
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    for (std::size_t at; (at = text.find('\x7f')) != std::string::npos;)
        text.replace(at, 1, "\\u007f");
    return text;
}

// A string as Dump writes it, where bytes that are not UTF-8 become U+FFFD, written as \ufffd
// so that it stands out; unless the text holds a U+FFFD of its own, which stays as it is.
std::string DumpString(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string json = Dump(Json(text));
    if (text.find(kReplacement) != std::string_view::npos) return json;
    for (std::size_t at; (at = json.find(kReplacement)) != std::string::npos;)
        json.replace(at, kReplacement.size(), "\\ufffd");
    return json;
}

// Numbers with a fraction are only ever seconds here, written with three decimals.
void Write(const Json& value, std::string& out) {
    if (value.is_object()) {
        out += '{';
        for (auto member = value.begin(); member != value.end(); ++member) {
            if (member != value.begin()) out += ',';
            out += DumpString(member.key());
            out += ':';
            Write(member.value(), out);
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (auto item = value.begin(); item != value.end(); ++item) {
            if (item != value.begin()) out += ',';
            Write(*item, out);
        }
        out += ']';
    } else if (value.is_number_float()) {
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", value.get<double>());
        out += number;
    } else if (value.is_string()) {
        out += DumpString(value.get_ref<const std::string&>());
    } else {
        out += Dump(value);
    }
}

}  // namespace

std::string JsonString(std::string_view text) {
    return DumpString(text);
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    members_[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value) {
    members_[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    members_[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::AddSeconds(std::string_view key, double seconds) {
    members_[std::string(key)] = seconds;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<JsonObject>& objects) {
    Json array = Json::array();
    for (const JsonObject& object : objects) array.push_back(object.members_);
    members_[std::string(key)] = std::move(array);
    return *this;
}

std::string JsonObject::Text() const {
    std::string text;
    Write(members_, text);
    return text;
}

}  // namespace flash
