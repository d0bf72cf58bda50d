#pragma once

// Some libxml2 operations (canonicalization, parts of XPath evaluation) report errors only
// through the thread's error handlers, which print to stderr by default. While a capture
// lives, those reports go to it instead; the previous handlers come back when it ends, so
// nothing is printed and nothing carries over to later work.

#include <libxml/xmlerror.h>
#include <libxml/xmlversion.h>

#include <optional>
#include <string>
#include <string_view>

namespace kivo::xmldsig {

// The error argument of libxml2's structured error handlers, which became const in 2.12.
#if LIBXML_VERSION >= 21200
using LibxmlErrorReport = const xmlError*;
#else
using LibxmlErrorReport = xmlErrorPtr;
#endif

// A libxml2 message as one log-ready line: its line breaks (messages end in one, some span two)
// and runs of white space become one space, with none at either end.
std::string libxmlMessageLine(std::string_view message);

class LibxmlErrorCapture {
  public:
    LibxmlErrorCapture();
    LibxmlErrorCapture(const LibxmlErrorCapture&) = delete;
    LibxmlErrorCapture& operator=(const LibxmlErrorCapture&) = delete;
    ~LibxmlErrorCapture();

    // The first structured error's message on one line, if any arrived.
    const std::optional<std::string>& firstMessage() const { return firstMessage_; }

  private:
    static void collectStructured(void* self, LibxmlErrorReport error);
    static void ignoreGeneric(void* self, const char* format, ...);

    xmlStructuredErrorFunc previousStructured_;
    void* previousStructuredContext_;
    xmlGenericErrorFunc previousGeneric_;
    void* previousGenericContext_;
    std::optional<std::string> firstMessage_;
};

}  // namespace kivo::xmldsig
