// A game's song list, read from the songs its build prepared: for each song
// its title and every chart, those left plain read from <song>.sm, the
// sealed ones read back from <song>_2.dat to <song>_6.dat through the
// reader library.
// Usage: game SONGS_FOLDER
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <chartseal/reader.h>

namespace fs = std::filesystem;

namespace {

struct Unreadable {
    std::string what;
};

std::string nameOf(const fs::path& path)
{
    const auto text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

std::string readPlain(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) throw Unreadable{nameOf(path) + ": cannot open the file"};
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw Unreadable{nameOf(path) + ": cannot read the file"};
    return text.str();
}

std::string readSealed(const fs::path& path)
{
    const std::string name = nameOf(path);
    std::size_t length = 0;
    // First the size, then the bytes.
    chartseal_status status = chartseal_read_file(name.c_str(), nullptr, 0, &length);
    if (status != CHARTSEAL_OK && status != CHARTSEAL_BUFFER_TOO_SMALL)
        throw Unreadable{name + ": " + chartseal_status_text(status)};
    std::string text(length, '\0');
    status = chartseal_read_file(name.c_str(), text.data(), text.size(), &length);
    if (status != CHARTSEAL_OK) throw Unreadable{name + ": " + chartseal_status_text(status)};
    text.resize(length);
    return text;
}

std::string trimmed(std::string text)
{
    const char* blank = " \t\r\n";
    text.erase(0, std::min(text.find_first_not_of(blank), text.size()));
    text.erase(text.find_last_not_of(blank) + 1);
    if (!text.empty() && (text.back() == ':' || text.back() == ';')) text.pop_back();
    return text;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(trimmed(line));
    return lines;
}

// Each chart's "<style> <difficulty>": a chart starts with #NOTES:, then its
// style, author and difficulty, one a line.
std::vector<std::string> chartsIn(const std::string& text)
{
    const std::vector<std::string> lines = linesOf(text);
    std::vector<std::string> charts;
    for (std::size_t i = 0; i + 3 < lines.size(); ++i)
        if (lines[i] == "#NOTES") charts.push_back(lines[i + 1] + " " + lines[i + 3]);
    return charts;
}

std::string titleIn(const std::string& text)
{
    for (const std::string& line : linesOf(text))
        if (line.rfind("#TITLE:", 0) == 0) return line.substr(7);
    return "(no title)";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: game SONGS_FOLDER\n");
        return 2;
    }
    const fs::path folder = fs::u8path(argv[1]);
    try {
        std::vector<fs::path> songs;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file() && entry.path().extension() == ".sm") songs.push_back(entry.path());
        std::sort(songs.begin(), songs.end());

        for (const fs::path& chart : songs) {
            const std::string plain = readPlain(chart);
            std::cout << nameOf(chart.lexically_relative(folder)) << ": " << titleIn(plain) << "\n";
            for (const std::string& name : chartsIn(plain)) std::cout << "  plain   " << name << "\n";
            for (int slot = 2; slot <= 6; ++slot) {
                fs::path sealed = chart;
                sealed.replace_filename(chart.stem().u8string() + "_" + std::to_string(slot) + ".dat");
                for (const std::string& name : chartsIn(readSealed(sealed)))
                    std::cout << "  sealed  " << name << " (" << nameOf(sealed.filename()) << ")\n";
            }
        }
        std::cout << songs.size() << " songs\n";
    } catch (const Unreadable& error) {
        std::fprintf(stderr, "game: %s\n", error.what.c_str());
        return 1;
    } catch (const fs::filesystem_error& error) {
        std::fprintf(stderr, "game: %s: %s\n", nameOf(error.path1()).c_str(), error.code().message().c_str());
        return 1;
    }
    std::cout.flush();
    return std::cout.good() ? 0 : 1;
}
