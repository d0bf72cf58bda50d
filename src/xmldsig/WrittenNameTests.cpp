#include "xmldsig/WrittenNameTests.h"

namespace kivo::xmldsig {

namespace {

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Any byte of a multi-byte UTF-8 character counts as a name character; the engine judges the
// character itself.
bool isNameStart(char c) {
    return isAsciiLetter(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool isNameChar(char c) {
    return isNameStart(c) || isDigit(c) || c == '-' || c == '.';
}

// What the token before the current one allows the current one to be. XPath 1.0 reads a name
// or `*` after anything but @, ::, (, [, ',' or an operator as an operator (and, or, mod, div,
// multiplication).
enum class Before { operandExpected, operatorExpected };

// Whether the name test that comes next belongs to an axis whose principal nodes are elements.
enum class Axis { elements, attributesOrNamespaces };

class Rewriter {
  public:
    explicit Rewriter(std::string_view text) : text_(text) { output_.reserve(text.size() + 16); }

    std::string run() {
        while (position_ < text_.size()) {
            step();
        }
        return std::move(output_);
    }

  private:
    void step() {
        const char c = text_[position_];
        if (isWhitespace(c)) {
            copy(1);
            return;
        }
        if (c == '"' || c == '\'') {
            const std::size_t close = text_.find(c, position_ + 1);
            copy(close == std::string_view::npos ? text_.size() - position_
                                                 : close + 1 - position_);
            before_ = Before::operatorExpected;
            return;
        }
        if (isDigit(c) || (c == '.' && isDigit(peek(1)))) {
            std::size_t end = position_;
            while (end < text_.size() && (isDigit(text_[end]) || text_[end] == '.')) {
                ++end;
            }
            copy(end - position_);
            before_ = Before::operatorExpected;
            return;
        }
        if (c == '$') {
            copy(1);
            copy(qualifiedNameLength());
            before_ = Before::operatorExpected;
            return;
        }
        if (isNameStart(c)) {
            name();
            return;
        }
        symbol(c);
    }

    void name() {
        const std::size_t length = nameLength(position_);
        if (before_ == Before::operatorExpected) {  // and, or, mod, div
            copy(length);
            before_ = Before::operandExpected;
            return;
        }
        const std::size_t after = position_ + length;
        const bool prefixed = at(after) == ':' && at(after + 1) != ':';
        const std::size_t next = nextSignificant(after);
        if (!prefixed && at(next) == ':' && at(next + 1) == ':') {
            const std::string_view axis = text_.substr(position_, length);
            axis_ = axis == "attribute" || axis == "namespace" ? Axis::attributesOrNamespaces
                                                               : Axis::elements;
            copy(length);
            return;  // "::" follows and leaves an operand expected
        }
        const std::size_t whole = prefixed ? qualifiedNameLength() : length;
        const bool functionOrNodeType = at(nextSignificant(position_ + whole)) == '(';
        if (!prefixed && !functionOrNodeType && axis_ == Axis::elements) {
            output_ += "*[name()='";
            output_ += text_.substr(position_, length);
            output_ += "']";
            position_ += length;
        } else {
            copy(whole);
        }
        // A function call's arguments begin with "(", which expects an operand anyway.
        before_ = Before::operatorExpected;
        axis_ = Axis::elements;
    }

    void symbol(char c) {
        static constexpr std::string_view twoCharacterOperators[] = {
            "//", "!=", "<=", ">=", "::", ".."};
        for (const std::string_view two : twoCharacterOperators) {
            if (text_.substr(position_, 2) == two) {
                copy(2);
                before_ = two == ".." ? Before::operatorExpected : Before::operandExpected;
                return;
            }
        }
        copy(1);
        switch (c) {
            case '*':
                // A name test `*` is followed by an operator; a multiplication by an operand.
                before_ = before_ == Before::operatorExpected ? Before::operandExpected
                                                              : Before::operatorExpected;
                axis_ = Axis::elements;
                return;
            case '@':
                axis_ = Axis::attributesOrNamespaces;
                before_ = Before::operandExpected;
                return;
            case ')':
            case ']':
            case '.':
                before_ = Before::operatorExpected;
                return;
            default:  // ( [ , / | + - = < > and characters the engine will refuse
                before_ = Before::operandExpected;
                return;
        }
    }

    // NCName, or NCName ":" NCName / "*" when the prefix is written without spaces.
    std::size_t qualifiedNameLength() const {
        const std::size_t first = nameLength(position_);
        const std::size_t colon = position_ + first;
        if (first > 0 && at(colon) == ':') {
            if (at(colon + 1) == '*') {
                return first + 2;
            }
            const std::size_t second = nameLength(colon + 1);
            if (second > 0) {
                return first + 1 + second;
            }
        }
        return first;
    }

    std::size_t nameLength(std::size_t from) const {
        if (from >= text_.size() || !isNameStart(text_[from])) {
            return 0;
        }
        std::size_t end = from + 1;
        while (end < text_.size() && isNameChar(text_[end])) {
            ++end;
        }
        return end - from;
    }

    std::size_t nextSignificant(std::size_t from) const {
        while (from < text_.size() && isWhitespace(text_[from])) {
            ++from;
        }
        return from;
    }

    char at(std::size_t index) const { return index < text_.size() ? text_[index] : '\0'; }
    char peek(std::size_t offset) const { return at(position_ + offset); }

    void copy(std::size_t length) {
        output_ += text_.substr(position_, length);
        position_ += length;
    }

    std::string_view text_;
    std::size_t position_ = 0;
    std::string output_;
    Before before_ = Before::operandExpected;
    Axis axis_ = Axis::elements;
};

}  // namespace

std::string matchNamesAsWritten(std::string_view expression) {
    return Rewriter(expression).run();
}

}  // namespace kivo::xmldsig
