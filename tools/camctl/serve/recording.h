// Recording the served cameras into files in the folder --record-dir names:
// the API starts and stops, each capture thread hands its frames over. A
// camera that goes away ends its file; after it is back the recording goes
// on in a new one. A build without the recorder refuses to record.
#ifndef CAMCTL_SERVE_RECORDING_H
#define CAMCTL_SERVE_RECORDING_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "api.h"
#include "feed.h"
#include "frame_source.h"

namespace serve {

std::shared_ptr<Recording> make_recording();

// The capture thread's side.
void record_frame(Feed* f, const FrameSource& src);
void recording_unplugged(Feed* f);  // ends the file; a new one follows the replug
void recording_replugged(Feed* f);
void end_recording(Feed* f);  // the feed stops

// The API's side; `dir` empty: recording is off.
Reply post_record(Feed* const feeds[2], const std::string& dir, const std::string& body);
Reply get_recordings(Feed* const feeds[2], const std::string& dir);
nlohmann::json recording_state(Feed* f);

// A finished file of the folder, opened for download: its descriptor
// (the caller's to close) and size, or -1 with the refusal in *r.
int open_recording(Feed* const feeds[2], const std::string& dir, const char* name, uint64_t* size,
                   const char** type, Reply* r);

}  // namespace serve

#endif  // CAMCTL_SERVE_RECORDING_H
