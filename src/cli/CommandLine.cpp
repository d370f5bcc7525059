// The programs' shared command-line texts.
#include "cli/CommandLine.h"

#include <algorithm>

#include <CLI/CLI.hpp>

#ifndef CHARTSEAL_VERSION
#error "the build gives CHARTSEAL_VERSION"
#endif

namespace chartseal {

namespace {

// The text with each line after the first indented by this many spaces.
std::string indented(std::string text, std::size_t by)
{
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) text.insert(at + 1, by, ' ');
    return text;
}

}  // namespace

Asked askedFor(const std::vector<std::string>& args, const std::string& valueTaking)
{
    Asked asked = Asked::nothing;
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg == "--help") return Asked::help;
        if (arg == "--version") asked = Asked::version;
        if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') continue;
        for (std::size_t i = 1; i < arg.size() && valueTaking.find(arg[i]) == std::string::npos; ++i) {
            if (arg[i] == 'h') return Asked::help;
            if (arg[i] == 'V') asked = Asked::version;
        }
    }
    return asked;
}

void addCommonOptions(CLI::App& app, bool& help, bool& version)
{
    app.set_help_flag();  // --help and --version are looked for before the parse
    app.allow_extras(false);
    app.add_flag("-h,--help", help, "print this help and exit");
    app.add_flag("-V,--version", version, "print the version, copyright and licence and exit");
}

std::string helpText(const CLI::App& app, const std::string& about, const std::string& endOfOptions,
                     const std::string& more, const std::vector<ExitStatusDoc>& statuses)
{
    std::string text = about;
    text += "\nOptions:\n";
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional()) continue;
        std::string names;
        for (const std::string& name : option->get_snames()) names += "-" + name + ", ";
        if (names.empty()) names = "    ";
        for (const std::string& name : option->get_lnames()) names += "--" + name;
        if (option->get_type_size() != 0) names += " " + option->get_type_name();
        names.resize(std::max<std::size_t>(names.size() + 2, 24), ' ');
        text += "  " + names + indented(option->get_description(), 26) + "\n";
    }
    text += "  --                      " + endOfOptions + "\n";
    if (!more.empty()) text += "\n" + more;
    text += "\nExit status:\n";
    for (const ExitStatusDoc& status : statuses) {
        std::string shown = std::string(status.status) + ":";
        shown.resize(7, ' ');
        text += "  " + shown + indented(status.meaning, 9) + "\n";
    }
    return text;
}

std::string versionText(const std::string& program)
{
    return program + " " + CHARTSEAL_VERSION +
           "\n"
           "Copyright 2026 the chartseal team\n"
           "License: proprietary; all rights reserved, for the people who prepare songs with it\n";
}

std::optional<std::string> parseArguments(CLI::App& app, const std::vector<std::string>& args)
{
    try {
        // The parser takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        std::string text = e.what();
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        std::replace(text.begin(), text.end(), '\n', ' ');
        // The parser names its error where the option belongs: said again
        // as this program says it.
        const std::size_t colon = text.find(": ");
        if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr && colon != std::string::npos) {
            return "unknown option " + text.substr(colon + 2);
        }
        if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && colon != std::string::npos &&
            text.ends_with(" missing")) {
            return text.substr(0, colon) + " needs a value";
        }
        return text;
    }
}

}  // namespace chartseal
