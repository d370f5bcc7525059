// One song of a library run as it goes through the run's steps; shared by
// the two files of the library run, in place and into a tree.
#pragma once

#include <memory>
#include <optional>

#include "output/OutputWriter.h"
#include "run/LibraryRun.h"
#include "run/SealJob.h"

namespace chartseal {

struct LibraryRun::Song {
    const LibrarySong* source = nullptr;
    std::unique_ptr<SealJob> job;
    SongReport report;
    bool going = true;  // no result yet
    bool atBarrier = false;  // its syncs left to the barriers
    std::uint64_t volume = 0;  // of its folder
    std::uint64_t told = 0;  // of its size, given to progress
    std::optional<OutputWriter::PlainDurable> plain;
    std::optional<OutputWriter::AllDurable> all;
    bool replaced = false;  // in a tree: its new files put in place
    File* outFolder = nullptr;  // in a tree: its folder there
};

}  // namespace chartseal
