#include "values.h"

#include <stdio.h>

namespace serve {

namespace {

bool fail(std::string* why, const std::string& reason) {
    *why = reason;
    return false;
}

// Digits only, at most 10 of them, no sign, no spaces: strtoul would take
// more than the interface allows.
bool text_number(const std::string& s, uint64_t* out) {
    size_t i = 0;
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == s.size() || s.size() - i > 10) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        v = v * base + d;
    }
    *out = v;
    return true;
}

bool field_number(const nlohmann::json& body, const char* key, uint32_t max, uint32_t* out,
                  std::string* why) {
    auto it = body.find(key);
    if (it == body.end()) return fail(why, std::string("\"") + key + "\" is missing");
    std::string reason;
    if (!number_value(*it, max, out, &reason))
        return fail(why, std::string("\"") + key + "\": " + reason);
    return true;
}

// The camera counts the address on with each byte; past 0xffff it would
// wrap or refuse, so such a transfer is not sent at all.
bool within_registers(const RegisterRequest& r, std::string* why) {
    if (r.addr + r.count - 1u <= 0xFFFF) return true;
    return fail(why, "\"addr\" " + hex(r.addr, 4) + " and " + std::to_string(r.count) +
                         " bytes run past the last register, 0xffff");
}

// Seconds as a JSON number in 0..max; an absent field stays as it was.
bool seconds_field(const nlohmann::json& body, const char* key, double max, double* out,
                   std::string* why) {
    auto it = body.find(key);
    if (it == body.end()) return true;
    if (!it->is_number() || it->get<double>() < 0 || it->get<double>() > max)
        return fail(why, std::string("\"") + key + "\": seconds from 0 to " +
                             std::to_string(static_cast<int>(max)));
    *out = it->get<double>();
    return true;
}

}  // namespace

bool number_value(const nlohmann::json& v, uint32_t max, uint32_t* out, std::string* why) {
    uint64_t n = 0;
    if (v.is_number_unsigned()) {
        n = v.get<uint64_t>();
    } else if (v.is_number_integer()) {
        return fail(why, "negative numbers are not accepted");
    } else if (v.is_string()) {
        if (!text_number(v.get<std::string>(), &n))
            return fail(why, "not a number (hex needs the 0x prefix)");
    } else {
        return fail(why, "not a number");
    }
    if (n > max) return fail(why, "out of range (at most " + hex(max, 0) + ")");
    *out = static_cast<uint32_t>(n);
    return true;
}

std::string hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

bool parse_object(const std::string& text, nlohmann::json* out, std::string* why) {
    *out = nlohmann::json::parse(text, nullptr, false);
    if (out->is_discarded()) return fail(why, "the body is not valid JSON");
    if (!out->is_object()) return fail(why, "the body is not a JSON object");
    return true;
}

bool cam_index(const char* query, int* cam, std::string* why) {
    if (!query) return *cam = 0, true;
    if ((query[0] == '0' || query[0] == '1') && query[1] == 0) return *cam = query[0] - '0', true;
    return fail(why, "cam must be 0 or 1");
}

bool cam_index(const nlohmann::json& body, int* cam, std::string* why) {
    auto it = body.find("cam");
    if (it == body.end()) return *cam = 0, true;
    if (it->is_number_unsigned() && it->get<uint64_t>() <= 1)
        return *cam = static_cast<int>(it->get<uint64_t>()), true;
    return fail(why, "cam must be 0 or 1");
}

bool dsp_request(const nlohmann::json& body, RegisterRequest* r, std::string* why) {
    if (!cam_index(body, &r->cam, why)) return false;
    uint32_t addr = 0;
    if (!field_number(body, "addr", 0xFFFF, &addr, why)) return false;
    r->addr = static_cast<uint16_t>(addr);
    const bool reads = body.contains("read"), writes = body.contains("write");
    if (reads == writes) return fail(why, "give either \"read\" or \"write\"");
    if (reads) {
        uint32_t n = 0;
        if (!field_number(body, "read", 8, &n, why)) return false;
        if (n < 1) return fail(why, "\"read\": 1 to 8 bytes");
        r->count = n;
        return within_registers(*r, why);
    }
    const nlohmann::json& w = body["write"];
    if (!w.is_array() || w.empty() || w.size() > 8)
        return fail(why, "\"write\": an array of 1 to 8 bytes");
    r->write = true;
    r->data.clear();
    for (const nlohmann::json& b : w) {
        uint32_t v = 0;
        std::string reason;
        if (!number_value(b, 0xFF, &v, &reason)) return fail(why, "\"write\": " + reason);
        r->data.push_back(static_cast<uint8_t>(v));
    }
    r->count = static_cast<unsigned>(r->data.size());
    return within_registers(*r, why);
}

bool sensor_request(const nlohmann::json& body, RegisterRequest* r, std::string* why) {
    if (!cam_index(body, &r->cam, why)) return false;
    uint32_t addr = 0;
    if (!field_number(body, "addr", 0xFFFF, &addr, why)) return false;
    r->addr = static_cast<uint16_t>(addr);
    r->bits = 16;
    if (body.contains("bits")) {
        const nlohmann::json& b = body["bits"];
        if (b != 8 && b != 16) return fail(why, "\"bits\" must be 8 or 16");
        r->bits = b.get<int>();
    }
    const bool reads = body.contains("read"), writes = body.contains("write");
    if (reads == writes) return fail(why, "give either \"read\" or \"write\"");
    if (reads) {
        if (body["read"] != true) return fail(why, "\"read\" must be true");
        return true;
    }
    r->write = true;
    return field_number(body, "write", r->bits == 8 ? 0xFF : 0xFFFF, &r->value, why);
}

bool control_request(const nlohmann::json& body, ControlRequest* r, std::string* why) {
    if (!cam_index(body, &r->cam, why)) return false;
    const bool by_id = body.contains("id"), by_name = body.contains("name");
    if (by_id == by_name) return fail(why, "give either \"id\" or \"name\"");
    if (by_id) {
        if (!field_number(body, "id", 0xFFFFFFFF, &r->id, why)) return false;
    } else {
        if (!body["name"].is_string()) return fail(why, "\"name\" must be a string");
        r->name = body["name"].get<std::string>();
        // "brightness\u0000x" must not pass for brightness in C string compares.
        if (r->name.find('\0') != std::string::npos)
            return fail(why, "\"name\" must not contain NUL characters");
        if (r->name.empty() || r->name.size() > 64) return fail(why, "unknown control");
    }
    auto v = body.find("value");
    if (v == body.end()) return fail(why, "\"value\" is missing");
    if (v->is_boolean()) {
        r->value = v->get<bool>() ? 1 : 0;
    } else if (v->is_number_unsigned()) {
        // Read as signed, 18446744073709551615 would pass for -1.
        if (v->get<uint64_t>() > INT32_MAX) return fail(why, "\"value\": out of range");
        r->value = static_cast<int32_t>(v->get<uint64_t>());
    } else if (v->is_number_integer()) {
        int64_t n = v->get<int64_t>();
        if (n < INT32_MIN) return fail(why, "\"value\": out of range");
        r->value = static_cast<int32_t>(n);
    } else {
        return fail(why, "\"value\" must be an integer");
    }
    return true;
}

bool record_request(const nlohmann::json& body, RecordRequest* r, std::string* why) {
    static const struct {
        const char* name;
        RecordAction action;
    } kActions[] = {{"start", RecordAction::Start},
                    {"stop", RecordAction::Stop},
                    {"trigger", RecordAction::Trigger}};
    if (!cam_index(body, &r->cam, why)) return false;
    auto it = body.find("action");
    bool known = false;
    for (const auto& a : kActions)
        if (it != body.end() && *it == a.name) r->action = a.action, known = true;
    if (!known) return fail(why, "\"action\" must be \"start\", \"stop\" or \"trigger\"");
    // A pre-buffer is held in memory: a minute is plenty for an event.
    if (!seconds_field(body, "pre", 60, &r->pre, why)) return false;
    if (!seconds_field(body, "segment", 86400, &r->segment, why)) return false;
    if (r->segment > 0 && r->segment < 1) return fail(why, "\"segment\": at least 1 second");
    return true;
}

}  // namespace serve
