// What the programs' command lines share: their help text built from the
// parser's own list of options, --help and --version found before anything
// else, the exit statuses for --help, the version text, and a parser's error
// in one line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace chartseal {

// What one exit status means, for --help (and the man page's EXIT STATUS).
struct ExitStatusDoc {
    const char* status;
    const char* meaning;
};

// Whether the arguments ask for --help or, failing that, --version, before
// "--": either wins over everything else on the line, errors included.
// Bundled short options count ("-qh"), up to one of valueTaking, which takes
// the rest of its word as its value.
enum class Asked { nothing, help, version };
Asked askedFor(const std::vector<std::string>& args, const std::string& valueTaking = "");

// Makes app take the options every program has: -h/--help and -V/--version,
// which askedFor finds before the parse, and no argument it does not know.
void addCommonOptions(CLI::App& app, bool& help, bool& version);

// The help text: about, then "Options:" with every option of the parser, its
// value's name and its description, and endOfOptions for "--"; then more,
// then "Exit status:" with each status.
std::string helpText(const CLI::App& app, const std::string& about, const std::string& endOfOptions,
                     const std::string& more, const std::vector<ExitStatusDoc>& statuses);

// "<program> <version>", the copyright line and the licence line.
std::string versionText(const std::string& program);

// The arguments (without the program's name) parsed into app; where they
// cannot be, why, in one line and in this programs' words.
std::optional<std::string> parseArguments(CLI::App& app, const std::vector<std::string>& args);

}  // namespace chartseal
