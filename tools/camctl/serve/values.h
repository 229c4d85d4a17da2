// What the JSON API accepts, checked before anything reaches the camera:
// register addresses and data as JSON numbers, "0x..." hex or decimal
// strings, and the bodies of the state-changing requests.
#ifndef CAMCTL_SERVE_VALUES_H
#define CAMCTL_SERVE_VALUES_H

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace serve {

// A number in 0..max from a JSON number (integral) or string; false with
// the reason in *why.
bool number_value(const nlohmann::json& v, uint32_t max, uint32_t* out, std::string* why);

// "0x01a2" (digits hex digits).
std::string hex(uint32_t value, int digits);

// Parses text as a JSON object; false with the reason otherwise.
bool parse_object(const std::string& text, nlohmann::json* out, std::string* why);

// The camera index of a query ("0"/"1") or a body; false with the reason.
bool cam_index(const char* query, int* cam, std::string* why);
bool cam_index(const nlohmann::json& body, int* cam, std::string* why);

struct RegisterRequest {
    int cam = 0;
    uint16_t addr = 0;
    bool write = false;
    std::vector<uint8_t> data;  // dsp write: the bytes
    unsigned count = 0;         // dsp read: how many bytes
    int bits = 16;              // sensor
    uint32_t value = 0;         // sensor write
};
bool dsp_request(const nlohmann::json& body, RegisterRequest* r, std::string* why);
bool sensor_request(const nlohmann::json& body, RegisterRequest* r, std::string* why);

struct ControlRequest {
    int cam = 0;
    std::string name;  // empty when given by id
    uint32_t id = 0;
    int32_t value = 0;
};
// The control is given by "id" or "name"; a name must be in the table the
// caller resolves, so only its shape is checked here.
bool control_request(const nlohmann::json& body, ControlRequest* r, std::string* why);

enum class RecordAction { Start, Stop, Trigger };

struct RecordRequest {
    int cam = 0;
    RecordAction action = RecordAction::Start;
    double pre = 0;      // seconds held before a trigger (0: record at once)
    double segment = 0;  // seconds per file (0: one file)
};
bool record_request(const nlohmann::json& body, RecordRequest* r, std::string* why);

}  // namespace serve

#endif  // CAMCTL_SERVE_VALUES_H
