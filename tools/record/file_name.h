// Names of the recorded files from a pattern: strftime's date and time
// conversions (%Y %m %d %H %M %S %j %y), a file number (%N with an optional
// zero-padded width, such as %03N) and %% for a literal %.
#ifndef RECORD_FILE_NAME_H
#define RECORD_FILE_NAME_H

#include <time.h>

#include <string>

namespace record {

struct FileNamePattern {
    std::string text;
    bool has_number = false;
    bool has_time = false;  // a conversion down to the second
};

// False with the reason in *why for any other conversion.
bool parse_file_name(const char* text, FileNamePattern* pattern, std::string* why);

// The name of file `number` begun at `when` (local time).
std::string file_name(const FileNamePattern& pattern, unsigned number, time_t when);

}  // namespace record

#endif  // RECORD_FILE_NAME_H
