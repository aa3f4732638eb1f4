#include "Host/Stdio/LineStager.h"

#include <cstring>
#include <new>

#include "App/Bridge/Base64.h"
#include "Platform/Log.h"
#include "Platform/Posix/RandomHex.h"

namespace host {

namespace {
bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Puts `text` wherever a string value equal to `placeholder` stands in `value`.
void replacePlaceholder(JSObject& value, const std::string& placeholder, const std::string& text) {
    if (value.is_string() && value.get_ref<const std::string&>() == placeholder) {
        value = text;
        return;
    }
    if (value.is_structured()) {
        for (auto& member : value) {
            replacePlaceholder(member, placeholder, text);
        }
    }
}
}  // namespace

LineStager::LineStager(platform::FileSystem& files, std::size_t threshold, std::size_t longest)
    : files_(files), threshold_(threshold) {
    try {
        line_.reserve(longest);
    } catch (const std::bad_alloc&) {
        // Where the system grants no such room, the line grows as it comes.
    }
}

void LineStager::add(std::string_view piece) {
    while (!piece.empty()) {
        if (diverting_) {
            piece = divert(piece);
        } else if (inString_) {
            piece = keepString(piece);
        } else {
            piece = keepStructure(piece);
        }
    }
    if (inString_ && candidate_ && !hasEscape_ && !diverting_ &&
        line_.size() - stringStart_ >= threshold_) {
        startDiverting();
    }
}

std::string_view LineStager::keepStructure(std::string_view piece) {
    for (std::size_t i = 0; i < piece.size(); ++i) {
        char c = piece[i];
        if (c == '"') {
            line_.append(piece.substr(0, i + 1));
            inString_ = true;
            escaped_ = hasEscape_ = false;
            // Only an option's value (a member of a member) is staged: the id, whose text is
            // echoed, and keys are always kept.
            candidate_ = depth_ == 2 && lastMark_ == ':' && !staged_ && !placed_;
            stringStart_ = line_.size();
            return piece.substr(i + 1);
        }
        if (c == '{' || c == '[') {
            ++depth_;
        } else if (c == '}' || c == ']') {
            --depth_;
        }
        if (!isWhiteSpace(c)) {
            lastMark_ = c;
        }
    }
    line_.append(piece);
    return {};
}

std::string_view LineStager::keepString(std::string_view piece) {
    std::size_t at = escaped_ ? 1 : 0;
    escaped_ = false;
    std::size_t quote = piece.find('"', at);
    // Each escape skips the character after its backslash, which may be a quote.
    for (;;) {
        std::size_t end = std::min(quote, piece.size());
        const void* backslash = at < end ? std::memchr(piece.data() + at, '\\', end - at) : nullptr;
        if (backslash == nullptr) {
            break;
        }
        hasEscape_ = true;
        at = static_cast<std::size_t>(static_cast<const char*>(backslash) - piece.data()) + 2;
        if (at >= piece.size()) {
            escaped_ = at > piece.size();
            quote = std::string_view::npos;
            break;
        }
        if (quote < at) {
            quote = piece.find('"', at);
        }
    }
    if (quote == std::string_view::npos) {
        line_.append(piece);
        return {};
    }
    line_.append(piece.substr(0, quote + 1));
    inString_ = false;
    lastMark_ = '"';
    return piece.substr(quote + 1);
}

void LineStager::startDiverting() {
    auto staged = files_.stage();
    if (!staged.ok()) {
        platform::log("cannot stage a long value, keeping it in memory: " +
                      staged.error().description);
        candidate_ = false;
        return;
    }
    staged_ = std::move(staged.value());
    stagedSize_ = 0;
    pending_.assign(line_, stringStart_);
    line_.resize(stringStart_);
    diverting_ = true;
    if (!decodePending()) {
        keepStagedText();
    }
}

std::string_view LineStager::divert(std::string_view piece) {
    const void* quote = std::memchr(piece.data(), '"', piece.size());
    std::size_t span = quote ? static_cast<const char*>(quote) - piece.data() : piece.size();
    pending_.append(piece.substr(0, span));
    if (quote == nullptr) {
        if (!decodePending()) {
            keepStagedText();
        }
        return {};
    }
    if (!decodeEnd()) {
        // Kept from here on: the quote ends the string, unless the kept text escapes it.
        keepStagedText();
        return piece.substr(span);
    }
    line_ += placeholder_ = "musicshell-staged-" + randomHex(16);
    line_ += '"';
    diverting_ = inString_ = false;
    placed_ = true;
    lastMark_ = '"';
    return piece.substr(span + 1);
}

bool LineStager::decodePending() {
    std::size_t held = pending_.size() % 4;
    if (held == 0) {
        held = std::min<std::size_t>(4, pending_.size());
    }
    std::size_t whole = pending_.size() - held;
    if (whole == 0) {
        return true;
    }
    auto bytes = base64::decode(std::string_view(pending_).substr(0, whole));
    // Fill characters are for the end only.
    if (!bytes || bytes->size() != whole / 4 * 3 || !stage(*bytes)) {
        return false;
    }
    pending_.erase(0, whole);
    return true;
}

bool LineStager::decodeEnd() {
    if (!decodePending()) {
        return false;
    }
    auto bytes = base64::decode(pending_);
    if (!bytes || !stage(*bytes)) {
        return false;
    }
    pending_.clear();
    return true;
}

bool LineStager::stage(const std::string& bytes) {
    if (auto error = staged_->append(bytes)) {
        platform::log("cannot stage a long value, keeping it in memory: " + error->description);
        return false;
    }
    stagedSize_ += bytes.size();
    return true;
}

void LineStager::keepStagedText() {
    line_ += stagedText();
    staged_.reset();
    diverting_ = candidate_ = false;
    // What is pending holds no quote, but may hold escapes, the last of them cut short.
    std::string rest = std::move(pending_);
    pending_ = {};
    keepString(rest);
}

std::string LineStager::stagedText() const {
    auto bytes = staged_->content();
    if (!bytes.ok()) {
        // The text is lost; what stands in its place must not pass for it.
        platform::log("cannot read a staged value back: " + bytes.error().description);
        return "\\u0000";
    }
    bytes.value().resize(stagedSize_);
    return base64::encode(bytes.value());
}

std::string LineStager::takeLine() {
    if (diverting_) {
        keepStagedText();
    }
    return std::move(line_);
}

void LineStager::settle(Request& request) {
    if (!placed_) {
        return;
    }
    if (request.options.is_object()) {
        for (auto member = request.options.begin(); member != request.options.end(); ++member) {
            if (member->is_string() && member->get_ref<const std::string&>() == placeholder_) {
                stagedKey_ = member.key();
                request.options.erase(member);
                return;
            }
        }
    }
    std::string text = stagedText();
    replacePlaceholder(request.options, placeholder_, text);
    replacePlaceholder(request.members, placeholder_, text);
}

std::optional<RequestRouter::Carried> LineStager::takeCarried() {
    if (!stagedKey_) {
        return std::nullopt;
    }
    return RequestRouter::Carried{std::move(*std::exchange(stagedKey_, std::nullopt)),
                                  CAPPayload(std::move(staged_))};
}

}  // namespace host
