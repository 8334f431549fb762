#include "output/map.h"
#include "output/evidence.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace korvel {

namespace {

constexpr const char* realColour = "#1a9850";
constexpr const char* plausibleColour = "#f39c12";
constexpr const char* noiseColour = "#555555";
constexpr const char* entropyColour = "#4575b4";
constexpr const char* laneColour = "#eeeeee";

// Text for XML: the five special characters escaped, and bytes that are not UTF-8 (a file
// name is whatever bytes the file system holds) replaced.
std::string xmlText(const std::string& text) {
    std::string escaped;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80         ? 1
                                   : (byte >> 5) == 6  ? 2
                                   : (byte >> 4) == 14 ? 3
                                   : (byte >> 3) == 30 ? 4
                                                       : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
        if (!valid || (length == 1 && byte < 0x20 && byte != '\t')) {
            escaped += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        switch (byte) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&apos;"; break;
            default: escaped.append(text, i, length);
        }
        i += length;
    }
    return escaped;
}

std::string hexOffset(std::uint64_t offset) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(offset));
    return text;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

MapLayout::MapLayout(std::uint64_t begin_, std::uint64_t end_, std::size_t lanes_)
    : begin(begin_), end(std::max(end_, begin_ + 1)), lanes(lanes_) {
    const std::uint64_t span = end - begin;
    const std::uint64_t wanted = (span + columns * mostBytesPerColumn - 1) / (columns * mostBytesPerColumn);
    rows = static_cast<int>(std::clamp<std::uint64_t>(wanted, 1, maxRows));
    const std::uint64_t pixels = std::uint64_t{static_cast<unsigned>(rows)} * columns;
    bytesPerColumn = std::max<std::uint64_t>(1, (span + pixels - 1) / pixels);
}

double MapLayout::xOf(std::uint64_t offset) const {
    return left + static_cast<double>((offset - begin) % rowBytes()) / static_cast<double>(bytesPerColumn);
}

MapSink::MapSink(ResultSink& next, const FileSink& files, std::vector<const FormatDescriptor*> formats,
                 std::uint64_t begin, std::uint64_t end)
    : next_(next),
      files_(files),
      formats_(std::move(formats)),
      layout_(begin, end, formats_.size()),
      noise_(formats_.size() * static_cast<std::size_t>(layout_.rows) * MapLayout::columns) {}

std::size_t MapSink::laneOf(const FormatDescriptor* format) const {
    return static_cast<std::size_t>(std::find(formats_.begin(), formats_.end(), format) - formats_.begin());
}

bool MapSink::save(const FoundStream& stream) {
    const std::uint64_t before = files_.keptCount();
    const bool kept = next_.save(stream);
    if (kept) note(stream, laneOf(stream.format), files_.keptCount() - before - 1);
    return kept;
}

void MapSink::exhausted(const FoundStream& stream) {
    next_.exhausted(stream);
    note(stream, laneOf(stream.format), 0);
}

void MapSink::note(const FoundStream& stream, std::size_t lane, std::uint64_t inside) {
    if (lane >= formats_.size() || stream.offset < layout_.begin || stream.offset >= layout_.end) return;
    const Verdict verdict = stream.judgement ? stream.judgement->verdict : Verdict::Noise;
    const std::uint64_t end = std::clamp(stream.end, stream.offset + 1, layout_.end);  // 0: not known
    if (verdict != Verdict::Noise && bars_.size() < maxBars) {
        std::string evidence;
        if (stream.judgement) {
            evidence = number(stream.judgement->evidence.totalBits()) + " bits of evidence";
            const char* separator = ": ";
            for (const EvidenceItem& item : stream.judgement->evidence.items()) {
                evidence += separator + std::string(evidenceKindName(item.kind));
                separator = ", ";
            }
        }
        bars_.push_back({static_cast<std::uint32_t>(lane), verdict, stream.offset, stream.end, stream.size, inside,
                         std::move(evidence)});
        return;
    }
    if (verdict != Verdict::Noise) ++barsLeftOut_;
    if (inside != 0 && noiseMarks_.size() < maxBars)
        noiseMarks_.push_back({static_cast<std::uint32_t>(lane), stream.offset, inside});
    const std::uint64_t first = (stream.offset - layout_.begin) / layout_.bytesPerColumn;
    const std::uint64_t last = (end - 1 - layout_.begin) / layout_.bytesPerColumn;
    std::uint32_t* const counts = noise_.data() + lane * static_cast<std::size_t>(layout_.rows) * MapLayout::columns;
    for (std::uint64_t column = first; column <= last; ++column) ++counts[column];
}

std::string MapSink::svg(const std::string& inputName, StreamDecoder& decoder, const std::vector<VerdictCounts>& counts,
                         double elapsedSeconds) const {
    const MapLayout& map = layout_;
    std::string out;
    out.reserve(64 << 10);
    const auto add = [&out](const std::string& text) { out += text; };
    const auto num = [](std::int64_t value) { return std::to_string(value); };

    add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    add("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(map.width()) + "\" height=\"" + num(map.height()) +
        "\" viewBox=\"0 0 " + num(map.width()) + " " + num(map.height()) +
        "\" font-family=\"monospace\" font-size=\"11\">\n");
    add("<rect x=\"0\" y=\"0\" width=\"" + num(map.width()) + "\" height=\"" + num(map.height()) +
        "\" fill=\"#ffffff\"/>\n");

    // The header: what was scanned and what was found.
    VerdictCounts total;
    std::string names;
    for (const FormatDescriptor* format : formats_) {
        names += (names.empty() ? "" : ", ") + std::string(format->name);
        if (format->index < counts.size()) {
            total.real += counts[format->index].real;
            total.plausible += counts[format->index].plausible;
            total.noise += counts[format->index].noise;
        }
    }
    add("<text x=\"8\" y=\"18\" font-size=\"13\">" + xmlText(inputName) + ": " + std::to_string(map.end - map.begin) +
        " bytes from " + hexOffset(map.begin) + "; " + names + "; " + std::to_string(total.real) + " real, " +
        std::to_string(total.plausible) + " plausible, " + std::to_string(total.noise) + " noise; " +
        number(elapsedSeconds) + " s</text>\n");
    const struct {
        const char* colour;
        const char* label;
    } legend[] = {{realColour, "real"},
                  {plausibleColour, "plausible"},
                  {noiseColour, "noise, as a density"},
                  {entropyColour, "entropy, 0 to 8 bits a byte"}};
    int x = 8;
    for (const auto& item : legend) {
        add("<rect x=\"" + num(x) + "\" y=\"30\" width=\"12\" height=\"12\" fill=\"" + item.colour + "\"/>");
        add("<text x=\"" + num(x + 16) + "\" y=\"40\">" + item.label + "</text>\n");
        x += 32 + 7 * static_cast<int>(std::string(item.label).size());
    }
    add("<text x=\"8\" y=\"56\" fill=\"#777777\">one pixel: " + std::to_string(map.bytesPerColumn) + " bytes; a row: " +
        std::to_string(map.rowBytes()) + " bytes</text>\n");

    const std::uint64_t entropyBytes = std::max(map.bytesPerColumn, MapLayout::entropyBlock);
    std::uint64_t entropyBlockAt = ~std::uint64_t{0};
    double entropy = 0;
    bool inputReadable = true;
    for (int row = 0; row < map.rows; ++row) {
        const std::uint64_t rowBegin = map.begin + static_cast<std::uint64_t>(row) * map.rowBytes();
        const std::uint64_t rowEnd = std::min(map.end, rowBegin + map.rowBytes());
        const int used = static_cast<int>((rowEnd - rowBegin + map.bytesPerColumn - 1) / map.bytesPerColumn);
        // Lanes, and the noise over them.
        for (std::size_t lane = 0; lane < formats_.size(); ++lane) {
            const int y = map.laneTop(row, lane);
            add("<text x=\"8\" y=\"" + num(y + 10) + "\">" + xmlText(formats_[lane]->name) + "</text>");
            add("<rect x=\"" + num(MapLayout::left) + "\" y=\"" + num(y) + "\" width=\"" + num(used) + "\" height=\"" +
                num(MapLayout::laneHeight) + "\" fill=\"" + laneColour + "\"/>\n");
            const std::uint32_t* counts = noise_.data() + (lane * map.rows + row) * std::size_t{MapLayout::columns};
            for (int column = 0; column < used;) {
                // One shade for each doubling of the streams over a pixel.
                const auto shade = [&](int at) { return std::min(8, static_cast<int>(std::bit_width(counts[at]))); };
                const int level = shade(column);
                int run = column + 1;
                while (run < used && shade(run) == level) ++run;
                if (level != 0) {
                    add("<rect x=\"" + num(MapLayout::left + column) + "\" y=\"" + num(y) + "\" width=\"" +
                        num(run - column) + "\" height=\"" + num(MapLayout::laneHeight) + "\" fill=\"" + noiseColour +
                        "\" fill-opacity=\"" +
                        number(0.15 + 0.1 * level) + "\"/>\n");
                }
                column = run;
            }
        }
        // The entropy, a step for each block of bytes.
        const int base = map.entropyTop(row) + MapLayout::entropyHeight;
        std::string path = "M" + num(MapLayout::left) + "," + num(base);
        int lastHeight = -1;
        for (int column = 0; column < used; ++column) {
            const std::uint64_t at = rowBegin + static_cast<std::uint64_t>(column) * map.bytesPerColumn;
            const std::uint64_t block = (at - map.begin) / entropyBytes;
            if (block != entropyBlockAt && inputReadable) {
                entropyBlockAt = block;
                const std::uint64_t from = map.begin + block * entropyBytes;
                std::array<std::uint64_t, 256> histogram{};
                inputReadable = decoder.countBytes(from, std::min(map.end, from + entropyBytes), histogram) ==
                                StreamDecoder::Outcome::Decoded;
                entropy = inputReadable ? entropyBits(histogram) : 0;
            }
            const int height = static_cast<int>(std::lround(entropy / 8 * (MapLayout::entropyHeight - 2)));
            if (height != lastHeight) {
                path += " L" + num(MapLayout::left + column) + "," + num(base - std::max(lastHeight, 0)) + " L" +
                        num(MapLayout::left + column) + "," + num(base - height);
                lastHeight = height;
            }
        }
        path += " L" + num(MapLayout::left + used) + "," + num(base - std::max(lastHeight, 0)) + " L" +
                num(MapLayout::left + used) + "," + num(base) + " Z";
        add("<path d=\"" + path + "\" fill=\"" + entropyColour + "\" fill-opacity=\"0.7\"/>\n");
        // The offsets: the row's first, and a tick every 128 pixels.
        add("<text x=\"" + num(MapLayout::left - 6) + "\" y=\"" + num(base - 4) + "\" text-anchor=\"end\">" +
            hexOffset(rowBegin) + "</text>\n");
        for (int column = 128; column < used; column += 128) {
            const std::uint64_t at = rowBegin + static_cast<std::uint64_t>(column) * map.bytesPerColumn;
            add("<line x1=\"" + num(MapLayout::left + column) + "\" y1=\"" + num(base) + "\" x2=\"" +
                num(MapLayout::left + column) + "\" y2=\"" + num(base + 4) + "\" stroke=\"#777777\"/>");
            add("<text x=\"" + num(MapLayout::left + column) + "\" y=\"" + num(base + 15) +
                "\" text-anchor=\"middle\" fill=\"#777777\">" + hexOffset(at) + "</text>\n");
        }
    }

    // The real and plausible streams, each a bar of its own (split where a row ends).
    for (const Bar& bar : bars_) {
        const std::uint64_t end = std::clamp(bar.end, bar.offset + 1, map.end);
        const char* colour = bar.verdict == Verdict::Real ? realColour : plausibleColour;
        std::string title = std::string(formats_[bar.lane]->name) + " at " + hexOffset(bar.offset) + " (" +
                            std::to_string(bar.offset) + ")" +
                            (bar.end != 0 ? ", ends at " + hexOffset(bar.end) : ", fills the buffer") + ", " +
                            std::to_string(bar.size) + " bytes, " + verdictName(bar.verdict);
        if (!bar.evidence.empty()) title += "; " + bar.evidence;
        if (bar.inside != 0) title += "; " + std::to_string(bar.inside) + " streams found inside it";
        for (int row = map.rowOf(bar.offset); row <= map.rowOf(end - 1); ++row) {
            const double from = row == map.rowOf(bar.offset) ? map.xOf(bar.offset) : MapLayout::left;
            const double to = row == map.rowOf(end - 1) ? map.xOf(end - 1) + 1.0 / map.bytesPerColumn
                                                        : MapLayout::left + MapLayout::columns;
            const int y = map.laneTop(row, bar.lane);
            add("<rect x=\"" + number(from) + "\" y=\"" + num(y) + "\" width=\"" + number(std::max(1.0, to - from)) +
                "\" height=\"" + num(MapLayout::laneHeight) + "\" fill=\"" + colour + "\"><title>" + xmlText(title) +
                "</title></rect>\n");
            // A mark where streams were found inside it.
            if (bar.inside != 0 && row == map.rowOf(bar.offset))
                add("<path d=\"M" + number(from) + "," + num(y) + " l5,0 l-5,5 z\" fill=\"#000000\"/>\n");
        }
    }
    for (const Mark& mark : noiseMarks_) {
        const double x = map.xOf(mark.offset);
        add("<path d=\"M" + number(x) + "," + num(map.laneTop(map.rowOf(mark.offset), mark.lane)) +
            " l5,0 l-5,5 z\" fill=\"#000000\"><title>" + xmlText(formats_[mark.lane]->name) + " noise at " +
            hexOffset(mark.offset) + ": " + std::to_string(mark.inside) + " streams found inside it</title></path>\n");
    }
    if (barsLeftOut_ != 0) {
        add("<text x=\"8\" y=\"" + num(map.height() - 6) + "\" fill=\"#777777\">" + std::to_string(barsLeftOut_) +
            " more real or plausible streams are drawn with the noise</text>\n");
    }
    add("</svg>\n");
    return out;
}

bool MapSink::write(const std::string& path, const std::string& inputName, StreamDecoder& decoder,
                    const std::vector<VerdictCounts>& counts, double elapsedSeconds) const {
    const std::string text = svg(inputName, decoder, counts, elapsedSeconds);
    std::string temporaryPath;
    const int fd = createTemporaryBeside(path, temporaryPath);
    if (fd < 0) return false;
    int error = writeAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) ? 0 : errno;
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temporaryPath.c_str(), path.c_str()) == 0) return true;
    if (error == 0) error = errno;
    unlink(temporaryPath.c_str());
    errno = error;
    return false;
}

}  // namespace korvel
