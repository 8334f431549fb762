// Builds every real container kind with the real tools, for studying korvel on them.
//
// usage: real_corpus <dir> [korvel binary]
// Writes <dir>/<name>.img, the container, and <dir>/<name>.truth, one line per real compressed
// stream as the container's own structures place it: "format offset end size". Given the
// binary, also runs it over each container (every format, --list) plainly, with --outer and with
// --real, and prints how many streams each reported and how many of the real ones it kept.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "real_containers.h"

using namespace korvel;

namespace {

struct Triage {
    std::size_t reported = 0;
    std::size_t realKept = 0;  // real streams reported at their exact offset, end and size
};

Triage triage(const std::string& korvel, const RealContainer& container, const std::string& mode,
              const std::string& dir) {
    const std::string report = dir + "/" + container.name + (mode.empty() ? ".plain" : mode.substr(1)) + ".jsonl";
    const std::string command =
        "'" + korvel + "' --list " + mode + " '--report=" + report + "' '" + container.path + "' > /dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("korvel failed: " + command);
    Triage result;
    const std::vector<ReportedStream> reported = readReport(report);
    result.reported = reported.size();
    for (const RealStream& real : container.streams)
        result.realKept += std::any_of(reported.begin(), reported.end(),
                                       [&](const ReportedStream& found) { return found.stream == real; });
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: real_corpus <dir> [korvel binary]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::string korvel = argc == 3 ? std::filesystem::absolute(argv[2]).string() : "";
    int status = 0;
    try {
        std::filesystem::create_directories(dir);
        if (!korvel.empty())
            std::printf("| container | real streams | reported | with --outer | real ones --outer keeps | with --real "
                        "| real ones --real keeps | --real per real stream |\n|---|---|---|---|---|---|---|---|\n");
        for (const auto kind : allContainerKinds()) {
            const auto build = buildRealContainer(kind, dir);
            if (!build.container) {
                std::fprintf(stderr, "%s: skipped, %s is not installed\n", containerName(kind).c_str(),
                             build.missingTool.c_str());
                status = 1;
                continue;
            }
            const RealContainer& container = *build.container;
            std::ofstream truth(dir + "/" + container.name + ".truth");
            std::uint64_t decoded = 0;
            for (const auto& stream : container.streams) {
                truth << stream.format << ' ' << stream.offset << ' ' << stream.end << ' ' << stream.size << '\n';
                decoded += stream.size;
            }
            if (!truth.flush()) throw std::runtime_error("cannot write " + container.name + ".truth");
            if (korvel.empty()) {
                std::printf("%-14s %9ju bytes %5zu streams %9ju bytes decoded\n", container.name.c_str(),
                            static_cast<std::uintmax_t>(std::filesystem::file_size(container.path)),
                            container.streams.size(), static_cast<std::uintmax_t>(decoded));
                continue;
            }
            const Triage plain = triage(korvel, container, "", dir);
            const Triage outer = triage(korvel, container, "--outer", dir);
            const Triage real = triage(korvel, container, "--real", dir);
            const std::size_t count = container.streams.size();
            std::printf("| %s | %zu | %zu | %zu | %zu | %zu | %zu | %.2f |\n", container.name.c_str(), count,
                        plain.reported, outer.reported, outer.realKept, real.reported, real.realKept,
                        static_cast<double>(real.reported) / static_cast<double>(count));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "real_corpus: %s\n", error.what());
        return 1;
    }
    return status;
}
