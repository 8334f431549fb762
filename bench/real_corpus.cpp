// Builds every real container kind with the real tools, for studying korvel on them.
//
// usage: real_corpus <dir>
// Writes <dir>/<name>.img, the container, and <dir>/<name>.truth, one line per real compressed
// stream as the container's own structures place it: "format offset end size".
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>

#include "real_containers.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: real_corpus <dir>\n");
        return 2;
    }
    const std::string dir = argv[1];
    int status = 0;
    try {
        std::filesystem::create_directories(dir);
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
            std::printf("%-14s %9ju bytes %5zu streams %9ju bytes decoded\n", container.name.c_str(),
                        static_cast<std::uintmax_t>(std::filesystem::file_size(container.path)),
                        container.streams.size(), static_cast<std::uintmax_t>(decoded));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "real_corpus: %s\n", error.what());
        return 1;
    }
    return status;
}
