// The JSON endpoints under /api: the state of the feeds, the catalogue, the
// controls and the DSP and sensor registers of the cameras being served.
#ifndef CAMCTL_SERVE_API_H
#define CAMCTL_SERVE_API_H

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "feed.h"

namespace serve {

struct Reply {
    int status = 200;
    std::string body;
    const char* type = "application/json";
    std::vector<std::pair<const char*, const char*>> headers;  // added to the answer
};

Reply error_reply(int status, const std::string& why);
Reply json_reply(const nlohmann::json& j);

// feeds[cam] is null for a camera not served.
Reply get_state(Feed* const feeds[2]);
// A picture as /snapshot sends it: 503 while there is no signal, with the
// no-signal picture still, for browsers.
Reply snapshot_reply(const Picture& p);
Reply get_devices();
Reply get_controls(Feed* const feeds[2], const char* cam_query);
Reply post_controls(Feed* const feeds[2], const std::string& body);
Reply post_dsp(Feed* const feeds[2], const std::string& body);
Reply post_sensor(Feed* const feeds[2], const std::string& body);

}  // namespace serve

#endif  // CAMCTL_SERVE_API_H
