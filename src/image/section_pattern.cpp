// Section patterns, matched as objcopy matches them: by fnmatch(3) without
// flags, as the GNU C library does it in the C locale. Written out here
// because Windows has no fnmatch.

#include "image/image_formats.h"

#include <array>
#include <optional>

namespace corvanel::image {

namespace {

// Whether `c` is of the class named (in the C locale: ASCII only); empty for
// a name that is no class.
std::optional<bool> classMember(QStringView name, char16_t c)
{
    const auto between = [c](char16_t low, char16_t high) { return c >= low && c <= high; };
    const bool upper = between(u'A', u'Z'), lower = between(u'a', u'z');
    const bool digit = between(u'0', u'9'), graph = between(0x21, 0x7e);
    const std::array<std::pair<const char16_t *, bool>, 12> classes{{
        {u"alnum", upper || lower || digit},
        {u"alpha", upper || lower},
        {u"blank", c == u' ' || c == u'\t'},
        {u"cntrl", c < 0x20 || c == 0x7f},
        {u"digit", digit},
        {u"graph", graph},
        {u"lower", lower},
        {u"print", graph || c == u' '},
        {u"punct", graph && !upper && !lower && !digit},
        {u"space", c == u' ' || between(u'\t', u'\r')},
        {u"upper", upper},
        {u"xdigit", digit || between(u'A', u'F') || between(u'a', u'f')},
    }};
    for (const auto &[className, member] : classes) {
        if (name == QStringView(className))
            return member;
    }
    return std::nullopt;
}

// What a bracket expression makes of one character.
enum class Bracket { Match, NoMatch, Unterminated };

// Reads a bracket expression as glibc's fnmatch does. Malformed ones, which
// POSIX leaves undefined, are read as glibc reads them up to the element that
// matches; glibc reads what follows that element by stricter rules, which are
// not copied.
class BracketReader {
public:
    // `p` is just past the '['.
    BracketReader(QStringView pattern, qsizetype p) : pattern_(pattern), p_(p) {}

    // On Match and NoMatch, next() is just past the closing ']'. An unknown
    // class name and a collating symbol of other than one character make the
    // bracket expression match nothing, as fnmatch fails on them.
    Bracket match(char16_t c)
    {
        const bool negated = at(u'!') || at(u'^');
        if (negated)
            ++p_;
        bool matched = false;
        for (bool first = true;; first = false) {
            if (p_ >= pattern_.size())
                return Bracket::Unterminated;
            if (at(u']') && !first)
                break;
            if (at(u'[', u':')) {
                if (const auto name = className()) {
                    const std::optional<bool> member = classMember(*name, c);
                    if (!member)
                        return Bracket::NoMatch;
                    matched = matched || *member;
                    continue;
                }
            } else if (at(u'[', u'=') && p_ + 4 < pattern_.size() && pattern_[p_ + 3] == u'=' &&
                       pattern_[p_ + 4] == u']') {
                // An equivalence class: in the C locale, the one character.
                matched = matched || pattern_[p_ + 2] == c;
                p_ += 5;
                continue;
            }
            const std::optional<char16_t> low = element();
            if (!low)
                return p_ >= pattern_.size() ? Bracket::Unterminated : Bracket::NoMatch;
            std::optional<char16_t> high = low;
            if (at(u'-') && p_ + 1 < pattern_.size() && pattern_[p_ + 1] != u']') {
                ++p_;
                high = element();
                if (!high)
                    return p_ >= pattern_.size() ? Bracket::Unterminated : Bracket::NoMatch;
            }
            matched = matched || (c >= *low && c <= *high);
        }
        ++p_; // the ']'
        return matched != negated ? Bracket::Match : Bracket::NoMatch;
    }

    qsizetype next() const { return p_; }

private:
    bool at(char16_t c) const { return p_ < pattern_.size() && pattern_[p_] == c; }
    bool at(char16_t c, char16_t after) const
    {
        return at(c) && p_ + 1 < pattern_.size() && pattern_[p_ + 1] == after;
    }

    // The name of "[:name:]" at p_, moving past it; empty, and p_ kept, where
    // a character other than a lower-case letter comes before ":]" (then the
    // '[' is plain). glibc takes the letters a to y, which every class name
    // is written in.
    std::optional<QStringView> className()
    {
        for (qsizetype q = p_ + 2; q < pattern_.size(); ++q) {
            if (pattern_[q] == u':' && q + 1 < pattern_.size() && pattern_[q + 1] == u']') {
                const QStringView name = pattern_.sliced(p_ + 2, q - p_ - 2);
                p_ = q + 2;
                return name;
            }
            if (pattern_[q] < u'a' || pattern_[q] >= u'z')
                return std::nullopt;
        }
        return std::nullopt;
    }

    // One character: plain, escaped by a backslash, or the one character of a
    // collating symbol "[.c.]" (in the C locale each character is its own).
    // Empty at the end of the pattern and for a malformed symbol.
    std::optional<char16_t> element()
    {
        if (at(u'\\')) {
            ++p_;
            if (p_ >= pattern_.size())
                return std::nullopt;
            return pattern_[p_++].unicode();
        }
        if (at(u'[', u'.')) {
            const qsizetype close = pattern_.indexOf(u".]", p_ + 2);
            if (close != p_ + 3)
                return std::nullopt;
            p_ = close + 2;
            return pattern_[close - 1].unicode();
        }
        return pattern_[p_++].unicode();
    }

    QStringView pattern_;
    qsizetype p_;
};

// Whether the single-character element of `pattern` at `p` matches `c`, and
// where the pattern goes on after it.
bool matchOne(QStringView pattern, qsizetype &p, char16_t c)
{
    const char16_t head = pattern[p].unicode();
    if (head == u'?') {
        ++p;
        return true;
    }
    if (head == u'[') {
        BracketReader bracket(pattern, p + 1);
        const Bracket result = bracket.match(c);
        if (result != Bracket::Unterminated) {
            p = bracket.next();
            return result == Bracket::Match;
        }
        // Without its ']' a '[' is an ordinary character.
    } else if (head == u'\\') {
        // A backslash at the end escapes nothing and matches nothing.
        if (++p >= pattern.size())
            return false;
    }
    return pattern[p++] == c;
}

} // namespace

bool SectionFilter::matches(QStringView pattern, QStringView name)
{
    // Each element but '*' matches one character, so the last '*' alone
    // needs to be tried again further on when the rest fails.
    qsizetype p = 0, n = 0, star = -1, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = ++p;
            resume = n;
            continue;
        }
        qsizetype next = p;
        if (p < pattern.size() && matchOne(pattern, next, name[n].unicode())) {
            p = next;
            ++n;
        } else if (star >= 0) {
            p = star;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace corvanel::image
