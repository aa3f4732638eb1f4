#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Host/Core/RequestRouter.h"
#include "Platform/FileSystem.h"

namespace host {

// Takes a request line too long to wait for whole, a piece at a time as it arrives, and keeps it,
// except for its first long string that is the value of a member of a member (an option, such
// as a file's base64 "data"): that one is decoded as it arrives into a staged file, and a
// placeholder stands for it in the kept line. So a file sent in base64 reaches the disk while it
// is read, never held whole. A string that turns out not to be strict base64 is kept as it came,
// and so is one that cannot be staged.
class LineStager {
public:
    // Strings shorter than `threshold` bytes are always kept. Room for `longest` bytes of kept
    // line is reserved up front, as address space only: a long line kept whole is then never
    // copied into a larger buffer while the old one is still held.
    LineStager(platform::FileSystem& files, std::size_t threshold, std::size_t longest = 0);

    void add(std::string_view piece);
    // Ends the line: the line as kept, placeholder included.
    std::string takeLine();
    // When the staged bytes stand for one of the options of the request read from the line, that
    // option is taken out for `takeCarried`; a placeholder anywhere else gets its text back.
    void settle(Request& request);
    // The staged option, for the call the request makes.
    std::optional<RequestRouter::Carried> takeCarried();

private:
    std::string_view keepStructure(std::string_view piece);
    std::string_view keepString(std::string_view piece);
    std::string_view divert(std::string_view piece);
    void startDiverting();
    // Decodes what is pending, but for its last quad, which may be the padded end.
    bool decodePending();
    bool decodeEnd();
    bool stage(const std::string& bytes);
    // Gives up staging: the text staged so far goes back into the kept line, exactly as it came.
    void keepStagedText();
    std::string stagedText() const;

    platform::FileSystem& files_;
    std::size_t threshold_;
    std::string line_;
    int depth_ = 0;
    char lastMark_ = 0;  // the last character outside strings that is not white space
    bool inString_ = false;
    bool escaped_ = false;
    bool candidate_ = false;  // the current string may be staged
    bool hasEscape_ = false;  // the current string has an escape sequence so far
    std::size_t stringStart_ = 0;
    bool diverting_ = false;
    std::string pending_;  // base64 text not yet decoded
    std::unique_ptr<platform::StagedFile> staged_;
    std::size_t stagedSize_ = 0;            // bytes appended without error
    bool placed_ = false;                   // the placeholder is in the line
    std::optional<std::string> stagedKey_;  // the option the staged bytes stand for
    std::string placeholder_;
};

}  // namespace host
