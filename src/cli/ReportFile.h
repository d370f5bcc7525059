// The report file of a library run: where it may go, decided before any
// song is touched, and how it gets there without destroying anything.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

class ReportFile {
public:
    // Chooses where the report named path goes, for a run over folders. Links
    // at its end are followed to the file they lead to (never replaced
    // themselves). Refused (RunError) before anything is created: a folder;
    // a name whose folder is one of the folders or below one, by the
    // identity of each folder on the way up, so that no chart, sealed file or
    // other file of a song can be hit by any name; a link that cannot be
    // followed. A FIFO, terminal or other device is opened now, to be
    // written through (the open of a FIFO waits for its reader).
    ReportFile(FileOps& ops, const std::string& path, const std::vector<std::string>& folders);
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;
    // Without finish, the temporary file is removed.
    ~ReportFile() { abandon(); }

    // For a file: creates its temporary file ".<name>.partial" beside it,
    // after removing one that a stopped run left there (only a regular file:
    // anything else at that name is refused). Throws RunError.
    void create();
    // Throws RunError where the line cannot be written.
    void write(std::string_view line);
    // Puts the report in its place: the temporary file synced and renamed
    // over the target (which is checked again first); a device's handle
    // closed. Throws RunError, after which no temporary file is left.
    void finish();
    // Removes the temporary file, if any, and closes what is open.
    void abandon() noexcept;

    // The name of the temporary file, for messages.
    std::string partialPath() const;

private:
    FileOps& ops_;
    std::string path_;        // as given, for messages
    std::string targetPath_;  // where the links at its end lead
    File folder_;             // the target's folder (for a file)
    std::string entry_;       // the target's name in it
    std::string partial_;     // the temporary file's name while it exists
    File file_;
    bool device_ = false;
};

}  // namespace chartseal
