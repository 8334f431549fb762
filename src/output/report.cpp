#include "output/report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

namespace korvel {

namespace {

// A JSON string. Bytes of 0x80 and above pass as they are: a path is whatever bytes the file
// system holds.
std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string bitsText(float bits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bits));
    return text;
}

const char* quantityName(SizeQuantity quantity) {
    switch (quantity) {
        case SizeQuantity::Compressed:
            return "compressed";
        case SizeQuantity::Decoded:
            return "decoded";
        case SizeQuantity::Wrapped:
            return "wrapped";
    }
    return "compressed";
}

// A field: where it lies in the input and relative to the stream, how it is read and its value.
std::string fieldJson(const FoundStream& stream, const SizeFieldMatch& field, bool withQuantity) {
    const FieldPlace& place = field.place;
    const std::uint64_t at = place.afterEnd ? stream.end + place.distance : stream.offset - place.distance - place.width;
    std::string json = "{";
    if (withQuantity) json += "\"holds\":\"" + std::string(quantityName(field.quantity)) + "\",";
    json += "\"offset\":" + number(at) + ",\"width\":" + number(8u * place.width) + ",\"order\":\"" +
            (place.bigEndian ? "be" : "le") + "\",\"side\":\"" + (place.afterEnd ? "after" : "before") +
            "\",\"distance\":" + number(place.distance) + ",\"value\":" + number(field.value) + "}";
    return json;
}

std::string evidenceJson(const FoundStream& stream, const EvidenceItem& item) {
    std::string json = "{\"kind\":\"" + std::string(evidenceKindName(item.kind)) + "\"";
    switch (item.kind) {
        case EvidenceKind::SizeField:
            json += ",\"field\":" + fieldJson(stream, item.field, true);
            break;
        case EvidenceKind::SizePair:
            json += ",\"fields\":[" + fieldJson(stream, item.field, true) + "," + fieldJson(stream, item.second, true) + "]";
            break;
        case EvidenceKind::Layout:
            json += ",\"field\":" + fieldJson(stream, item.field, true) + ",\"streams\":" + number(item.streams);
            break;
        case EvidenceKind::Checksum:
            json += std::string(",\"algorithm\":\"") + (item.checksum == ChecksumKind::Crc32 ? "crc32" : "adler32") +
                    "\",\"field\":" + fieldJson(stream, item.field, false);
            break;
        case EvidenceKind::ZlibHeader:
        case EvidenceKind::GzipHeader:
            json += ",\"offset\":" + number(item.at);
            break;
        case EvidenceKind::Tiling:
            json += std::string(",\"at_start\":") + (item.tilesAtStart ? "true" : "false") +
                    ",\"at_end\":" + (item.tilesAtEnd ? "true" : "false");
            break;
    }
    return json + ",\"bits\":" + bitsText(item.bits) + "}";
}

// The verdict, the family and the evidence of a judged stream.
std::string judgementJson(const FoundStream& stream) {
    const Judgement& judgement = *stream.judgement;
    std::string json = ",\"verdict\":\"" + std::string(verdictName(judgement.verdict)) + "\",\"family\":";
    if (judgement.familyEnd == 0) {
        json += "null";
    } else {
        json += "{\"end\":" + number(judgement.familyEnd) + ",\"members\":" + number(judgement.familyMembers) +
                ",\"chosen\":" + (judgement.chosen ? "true" : "false") + "}";
    }
    json += ",\"evidence_bits\":" + bitsText(judgement.evidence.totalBits()) + ",\"evidence\":[";
    bool first = true;
    for (const EvidenceItem& item : judgement.evidence.items()) {
        if (!first) json += ',';
        first = false;
        json += evidenceJson(stream, item);
    }
    return json + "]";
}

}  // namespace

ReportSink::ReportSink(FileSink& files, std::string path, std::span<const FormatDescriptor> formats)
    : files_(files), path_(std::move(path)), formats_(formats), shared_(std::make_shared<Shared>()), ownsFile_(true) {
    shared_->counts.resize(formats.size());
}

ReportSink::ReportSink(ReportSink& parent, FileSink& files, const FormatDescriptor& format, std::uint64_t offset)
    : files_(files),
      path_(parent.path_),
      formats_(parent.formats_),
      shared_(parent.shared_),
      ownsFile_(false),
      parentJson_(number(parent.shared_->entries - 1)) {
    const std::string step = "{\"format\":" + jsonString(format.name) + ",\"offset\":" + number(offset) + "}";
    const std::string& above = parent.pathJson_;
    pathJson_ = above == "[]" ? "[" + step + "]" : above.substr(0, above.size() - 1) + "," + step + "]";
}

ReportSink::~ReportSink() {
    if (!ownsFile_ || shared_->out == nullptr) return;
    std::fclose(shared_->out);
    unlink(temporaryPath_.c_str());
}

bool ReportSink::open() {
    const int fd = createTemporaryBeside(path_, temporaryPath_);
    if (fd < 0) return false;
    shared_->out = fdopen(fd, "w");
    if (shared_->out != nullptr) return true;
    const int error = errno;
    close(fd);
    unlink(temporaryPath_.c_str());
    errno = error;
    return false;
}

bool ReportSink::save(const FoundStream& stream) {
    const bool kept = files_.save(stream);
    // Past the output limit the scan ends before this stream: it is neither written nor failed.
    if (!kept && files_.outputLimitReached()) return false;
    Counts& counts = shared_->counts[stream.format->index];
    if (!kept) {
        ++counts.writeFailed;
        write(stream, "write_failed", nullptr);
    } else if (files_.listOnly()) {
        ++counts.listed;
        counts.bytes += stream.size;
        write(stream, "listed", nullptr);
    } else {
        ++counts.saved;
        counts.bytes += stream.size;
        const std::string file = savedFilePath(files_.outPrefix(), *stream.format, stream.offset);
        write(stream, "saved", &file);
    }
    return kept;
}

void ReportSink::exhausted(const FoundStream& stream) {
    files_.exhausted(stream);
    ++shared_->counts[stream.format->index].exhausted;
    write(stream, "exhausted", nullptr);
}

void ReportSink::write(const FoundStream& stream, const char* status, const std::string* file) {
    const std::uint64_t* nestedIn = open_.enclosing(stream.offset);
    std::string line = "{\"format\":";
    line += jsonString(stream.format->name);
    line += ",\"offset\":";
    line += number(stream.offset);
    line += ",\"end\":";
    line += stream.end != 0 ? number(stream.end) : "null";
    line += ",\"size\":";
    line += number(stream.size);
    line += ",\"file\":";
    line += file ? jsonString(*file) : "null";
    line += ",\"status\":\"";
    line += status;
    line += "\",\"nested_in\":";
    line += nestedIn ? number(*nestedIn) : "null";
    if (stream.judgement != nullptr) line += judgementJson(stream);
    if (shared_->paths) line += ",\"path\":" + pathJson_ + ",\"parent\":" + parentJson_;
    line += "}\n";
    std::fputs(line.c_str(), shared_->out);
    ++shared_->entries;
    open_.add(stream.offset, stream.end);
}

bool ReportSink::finish(std::uint64_t inputSize, const std::vector<VerdictCounts>* verdicts) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", elapsed);
    std::string summary = "{\"summary\":{\"input_size\":";
    summary += number(inputSize);
    summary += ",\"elapsed_seconds\":";
    summary += seconds;
    summary += ",\"formats\":{";
    const auto formats = formats_;
    for (std::size_t i = 0; i < formats.size(); ++i) {
        const Counts& c = shared_->counts[i];
        if (i != 0) summary += ',';
        summary += jsonString(formats[i].name);
        for (const auto& [name, value] : {std::pair{"saved", c.saved}, {"listed", c.listed}, {"exhausted", c.exhausted},
                                          {"write_failed", c.writeFailed}, {"bytes", c.bytes}}) {
            summary += std::string_view(name) == "saved" ? ":{\"" : ",\"";
            summary += name;
            summary += "\":";
            summary += number(value);
        }
        if (verdicts != nullptr) {
            const VerdictCounts judged = i < verdicts->size() ? (*verdicts)[i] : VerdictCounts{};
            summary += ",\"real\":" + number(judged.real) + ",\"plausible\":" + number(judged.plausible) +
                       ",\"noise\":" + number(judged.noise);
        }
        summary += '}';
    }
    summary += '}';
    if (files_.outputLimit() != 0) {
        summary += ",\"max_output\":{\"limit\":" + number(files_.outputLimit()) + ",\"written\":" +
                   number(files_.bytesWritten()) + ",\"reached\":" + (files_.outputLimitReached() ? "true" : "false") +
                   "}";
    }
    summary += "}}\n";
    std::FILE*& out = shared_->out;
    std::fputs(summary.c_str(), out);
    const bool written = std::fflush(out) == 0 && !std::ferror(out) && fsync(fileno(out)) == 0;
    const int error = errno;
    const bool closed = std::fclose(out) == 0;
    out = nullptr;
    if (written && closed && std::rename(temporaryPath_.c_str(), path_.c_str()) == 0) return true;
    const int failure = written && closed ? errno : error;
    unlink(temporaryPath_.c_str());
    errno = failure;
    return false;
}

}  // namespace korvel
