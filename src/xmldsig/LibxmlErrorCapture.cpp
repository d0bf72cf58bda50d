#include "xmldsig/LibxmlErrorCapture.h"

#include <libxml/globals.h>

namespace kivo::xmldsig {

std::string libxmlMessageLine(std::string_view message) {
    std::string line;
    for (const char c : message) {
        const bool space = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (!space) {
            line.push_back(c);
        } else if (!line.empty() && line.back() != ' ') {
            line.push_back(' ');
        }
    }
    if (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

LibxmlErrorCapture::LibxmlErrorCapture()
    : previousStructured_(xmlStructuredError),
      previousStructuredContext_(xmlStructuredErrorContext),
      previousGeneric_(xmlGenericError),
      previousGenericContext_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(this, &LibxmlErrorCapture::collectStructured);
    xmlSetGenericErrorFunc(this, &LibxmlErrorCapture::ignoreGeneric);
}

LibxmlErrorCapture::~LibxmlErrorCapture() {
    xmlSetGenericErrorFunc(previousGenericContext_, previousGeneric_);
    xmlSetStructuredErrorFunc(previousStructuredContext_, previousStructured_);
}

void LibxmlErrorCapture::collectStructured(void* self, LibxmlErrorReport error) {
    auto& capture = *static_cast<LibxmlErrorCapture*>(self);
    if (error == nullptr || error->message == nullptr || capture.firstMessage_) {
        return;
    }
    capture.firstMessage_ = libxmlMessageLine(error->message);
}

// Unstructured reports (for example an unknown XPath function) come with a structured report of
// the same failure, so their text is not needed.
void LibxmlErrorCapture::ignoreGeneric(void*, const char*, ...) {}

}  // namespace kivo::xmldsig
