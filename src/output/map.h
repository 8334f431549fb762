// --map=FILE.svg: one picture of a run's findings. The scanned range is a horizontal axis,
// wrapped into rows; under each row, one lane per format tried, where every real or plausible
// stream is a bar from its offset to its end (with a <title> a browser shows on hovering) and
// the noise a density; and the input's entropy as a filled curve. Self-contained SVG: no
// script, font file or link. Written like the report: to a temporary file, then renamed.
//
// Scale: a row is 1024 pixels of at most 1 KiB each, and the map takes as many rows as that
// needs, up to 64; past 64 MiB the pixels grow instead (16 KiB each for 1 GiB). Every stream is
// at least one pixel wide. Memory is bounded whatever the input's size: counts per pixel, and
// at most `maxBars` streams drawn as bars of their own.
// Thread safety: called by the scan's committing threads, one at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/result_sink.h"
#include "engine/scan_engine.h"
#include "output/saving.h"
#include "output/verdicts.h"

namespace korvel {

// Where things are drawn: the same numbers for the writer and for whoever reads the picture.
struct MapLayout {
    static constexpr int columns = 1024;        // pixels of a row
    static constexpr std::uint64_t mostBytesPerColumn = 1024;  // before the map wraps
    static constexpr int maxRows = 64;
    static constexpr int left = 112;            // the offsets' labels
    static constexpr int right = 16;
    static constexpr int top = 64;              // the header and the legend
    static constexpr int laneHeight = 12;
    static constexpr int laneGap = 2;
    static constexpr int entropyHeight = 28;
    static constexpr int rowGap = 22;           // the ticks' labels
    static constexpr std::uint64_t entropyBlock = 256;  // bytes at least, for a meaningful figure

    MapLayout(std::uint64_t begin, std::uint64_t end, std::size_t lanes);

    std::uint64_t begin, end;
    std::size_t lanes;
    int rows;
    std::uint64_t bytesPerColumn;

    std::uint64_t rowBytes() const { return bytesPerColumn * columns; }
    int width() const { return left + columns + right; }
    int rowHeight() const { return static_cast<int>(lanes) * (laneHeight + laneGap) + entropyHeight + rowGap; }
    int height() const { return top + rows * rowHeight(); }
    // The row of `offset` (begin <= offset < end), and its x within the drawing.
    int rowOf(std::uint64_t offset) const { return static_cast<int>((offset - begin) / rowBytes()); }
    double xOf(std::uint64_t offset) const;
    int laneTop(int row, std::size_t lane) const {
        return top + row * rowHeight() + static_cast<int>(lane) * (laneHeight + laneGap);
    }
    int entropyTop(int row) const { return laneTop(row, lanes); }
};

// Passes every stream on, drawing it. Kept between the judge and the sinks that save: it sees
// every stream kept, with its verdict, and by the file sink's count how many were found inside
// it (--depth).
class MapSink : public ResultSink {
public:
    static constexpr std::size_t maxBars = 20000;

    // `formats`: the formats tried, one lane each, in this order. `files` counts the streams
    // kept; `decoder` reads the input's bytes for the entropy, under the scan's guard.
    MapSink(ResultSink& next, const FileSink& files, std::vector<const FormatDescriptor*> formats,
            std::uint64_t begin, std::uint64_t end);

    bool save(const FoundStream& stream) override;
    void exhausted(const FoundStream& stream) override;
    bool failed() const override { return next_.failed(); }
    bool stopped() const override { return next_.stopped(); }

    // Writes the map to `path`. False, with errno set, when it could not be written whole;
    // nothing then stands at `path`. `counts`: the streams of each format by verdict.
    bool write(const std::string& path, const std::string& inputName, StreamDecoder& decoder,
               const std::vector<VerdictCounts>& counts, double elapsedSeconds) const;

private:
    struct Bar {
        std::uint32_t lane;
        Verdict verdict;
        std::uint64_t offset, end;
        std::uint32_t size;
        std::uint64_t inside;  // streams found inside it
        std::string evidence;  // for its title
    };
    std::size_t laneOf(const FormatDescriptor* format) const;
    void note(const FoundStream& stream, std::size_t lane, std::uint64_t inside);
    std::string svg(const std::string& inputName, StreamDecoder& decoder, const std::vector<VerdictCounts>& counts,
                    double elapsedSeconds) const;

    ResultSink& next_;
    const FileSink& files_;
    std::vector<const FormatDescriptor*> formats_;
    MapLayout layout_;
    std::vector<std::uint32_t> noise_;  // streams of noise over each pixel, by lane, row and column
    std::vector<Bar> bars_;
    std::uint64_t barsLeftOut_ = 0;     // real or plausible streams past maxBars, drawn as noise is
    struct Mark {
        std::uint32_t lane;
        std::uint64_t offset, inside;
    };
    std::vector<Mark> noiseMarks_;      // noise streams that held streams, at most maxBars
};

}  // namespace korvel
