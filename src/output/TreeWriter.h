// One song's outputs in a folder of an output tree, the chart left where it
// is: "<song>.sm", the plain part, and "<song>_2.dat" to "<song>_6.dat", the
// bytes a run in place would leave there. An output that already holds them
// is left alone, time stamps and all.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chart/ChartStream.h"
#include "chart/SlotSet.h"
#include "io/FileOps.h"
#include "output/SongPlan.h"

namespace chartseal {

// Its steps, in order: compare (changes nothing), writeNew (each output that
// differs as a new file beside its name, ".<name>.partial", with the
// chart's permissions, written and synced), putInPlace (each renamed over
// its name, the plain part last, and the folder synced). A power cut at any
// point leaves every name holding either its old bytes or its new ones,
// whole; the next run compares them again. Where the syncs are left to
// barriers, the caller syncs the file system between writeNew and
// putInPlace and after it.
class TreeWriter {
public:
    // folder: the song's folder in the output tree, open; base: the song's
    // name there as shown ("<tree>/<rel>/<song>"). checkChart throws where
    // the chart is no longer the one read (a refusal); checkpoint is called
    // between steps and may throw to stop.
    TreeWriter(FileOps& ops, File& folder, std::string base, bool syncsAtBarrier,
               std::function<void()> checkChart, std::function<void()> checkpoint = {});
    // Removes the new files not put in place.
    ~TreeWriter();
    TreeWriter(const TreeWriter&) = delete;
    TreeWriter& operator=(const TreeWriter&) = delete;

    // The chart as partitioned: its plan, slots and open stream; they live
    // as long as the writer.
    void prepare(const SongPlan& plan, const SlotSet& slots, ChartStream& chart);

    // Reads the six names and compares each file with what this run writes
    // there: its bytes and its permissions. Refuses a link or anything but a
    // regular file at a name; changes nothing. Returns how many differ.
    // In a folder this run made, whose names are all free, none is read.
    int compare(bool folderIsNew = false);
    // The names (as shown) of the outputs that differ, once compared.
    std::vector<std::string> differing() const;
    void writeNew();
    void putInPlace();
    // Removes new files a stopped run left beside the outputs that do not
    // differ (which writeNew leaves alone), and syncs the folder where it
    // did.
    void removeLeftovers();

    // The name of the new file for an output entry.
    static std::string partialName(const std::string& entry) { return "." + entry + ".partial"; }
    // The output entries of the song named "<song>".
    static std::string outputEntry(const std::string& song, int number);

private:
    struct Output {
        std::string entry;    // in the folder
        std::string name;     // for messages
        bool differs = false;
        bool created = false;  // its new file, by this run
        std::optional<FileIdentity> identity;  // of the new file
        bool placed = false;
    };
    bool sameBytes(int number, const FileStatus& found);
    // Removes a stopped run's new file of the output, if there is one.
    bool removeStale(const Output& out);
    void discard() noexcept;

    FileOps& ops_;
    File& folder_;
    std::string base_;
    bool atBarrier_;
    std::function<void()> checkChart_;
    std::function<void()> checkpoint_;
    std::array<Output, kSlotCount> outs_;
    const SongPlan* plan_ = nullptr;
    const SlotSet* slots_ = nullptr;
    ChartStream* chart_ = nullptr;
    FileStatus chartStatus_;
    std::vector<char> block_;
    bool compared_ = false;
};

}  // namespace chartseal
