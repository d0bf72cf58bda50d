#include "xmldsig/LibxmlErrorCapture.h"

#include <libxml/globals.h>

namespace kivo::xmldsig {

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
    std::string text = error->message;
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    capture.firstMessage_ = std::move(text);
}

// Unstructured reports (for example an unknown XPath function) come with a structured report of
// the same failure, so their text is not needed.
void LibxmlErrorCapture::ignoreGeneric(void*, const char*, ...) {}

}  // namespace kivo::xmldsig
