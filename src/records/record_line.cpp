#include "records/record_line.h"

#include <QDir>

#include <charconv>
#include <cstring>

namespace corvanel::records {

namespace {

constexpr int kMaxDepth = 64; // nested values the writers never make, still read

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int digits(const char *p, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (!isDigit(p[i]))
            return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(int year, int month, int day)
{
    year -= month <= 2;
    const qint64 era = (year >= 0 ? year : year - 399) / 400;
    const int yoe = int(year - era * 400);
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string &out, char32_t code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xc0 | (code >> 6));
        out += char(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += char(0xe0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    } else {
        out += char(0xf0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3f));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    }
}

int hex4(std::string_view s, size_t at)
{
    int value = 0;
    for (size_t i = at; i < at + 4; ++i)
        value = value * 16 + hexDigit(s[i]);
    return value;
}

// A string already checked by the scanner, its escapes resolved.
void unescape(std::string_view raw, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        const char e = raw[++i];
        switch (e) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            char32_t code = char32_t(hex4(raw, i + 1));
            i += 4;
            const bool high = code >= 0xd800 && code < 0xdc00;
            if (high && i + 6 < raw.size() && raw[i + 1] == '\\' && raw[i + 2] == 'u') {
                const int low = hex4(raw, i + 3);
                if (low >= 0xdc00 && low < 0xe000) {
                    code = 0x10000 + ((code - 0xd800) << 10) + char32_t(low - 0xdc00);
                    i += 6;
                }
            }
            appendUtf8(out, code >= 0xd800 && code < 0xe000 ? char32_t(0xfffd) : code);
            break;
        }
        default:
            out += e;
            break; // '"', '\\', '/'
        }
    }
}

// The first byte from `p` on that ends a string's plain run: a quote, a
// backslash or a control character. Eight bytes at a time (the zero-byte
// tests of "Bit Twiddling Hacks"; the lowest flag is always exact).
const char *plainRunEnd(const char *p, const char *end)
{
    constexpr quint64 kOnes = 0x0101010101010101ULL;
    constexpr quint64 kHighs = 0x8080808080808080ULL;
    while (end - p >= 8) {
        quint64 x;
        std::memcpy(&x, p, 8);
        const quint64 quote = x ^ (kOnes * '"');
        const quint64 slash = x ^ (kOnes * '\\');
        const quint64 flags =
            (((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | ((x - kOnes * 0x20) & ~x)) &
            kHighs;
        if (flags)
            return p + (__builtin_ctzll(flags) >> 3);
        p += 8;
    }
    while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20)
        ++p;
    return p;
}

// The JSON grammar over one line, strictly; only the values of the fields
// asked for are kept.
struct Scanner {
    const char *p;
    const char *end;

    void space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
            ++p;
    }

    bool string(std::string_view &raw, bool &escaped)
    {
        const char *start = ++p; // past the opening quote
        escaped = false;
        if (p >= end)
            return false;
        while (p < end) {
            p = plainRunEnd(p, end);
            if (p >= end)
                return false;
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                raw = std::string_view(start, size_t(p - start));
                ++p;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                escaped = true;
                if (++p >= end)
                    return false;
                if (*p == 'u') {
                    if (end - p < 5)
                        return false;
                    for (int i = 1; i <= 4; ++i) {
                        if (hexDigit(p[i]) < 0)
                            return false;
                    }
                    p += 4;
                } else if (!std::strchr("\"\\/bfnrt", *p) || *p == '\0') {
                    return false;
                }
            }
            ++p;
        }
        return false;
    }

    bool number(std::string_view &raw)
    {
        const char *start = p;
        if (p < end && *p == '-')
            ++p;
        if (p < end && *p == '0') {
            ++p;
        } else {
            if (p >= end || !isDigit(*p))
                return false;
            while (p < end && isDigit(*p))
                ++p;
        }
        if (p < end && *p == '.') {
            if (++p >= end || !isDigit(*p))
                return false;
            while (p < end && isDigit(*p))
                ++p;
        }
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= end || !isDigit(*p))
                return false;
            while (p < end && isDigit(*p))
                ++p;
        }
        raw = std::string_view(start, size_t(p - start));
        return true;
    }

    bool word(const char *text, size_t size)
    {
        if (size_t(end - p) < size || std::memcmp(p, text, size) != 0)
            return false;
        p += size;
        return true;
    }

    bool value(AttemptDecoder::Value &out, int depth)
    {
        using Value = AttemptDecoder::Value;
        if (p >= end)
            return false;
        switch (*p) {
        case '"':
            out.kind = Value::String;
            return string(out.raw, out.escaped);
        case 't':
            out.kind = Value::Bool;
            out.truth = true;
            return word("true", 4);
        case 'f':
            out.kind = Value::Bool;
            out.truth = false;
            return word("false", 5);
        case 'n':
            out.kind = Value::Null;
            return word("null", 4);
        case '{':
        case '[':
            out.kind = Value::Nested;
            return nested(depth + 1);
        default:
            out.kind = Value::Number;
            return number(out.raw);
        }
    }

    bool nested(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        const bool object = *p == '{';
        const char close = object ? '}' : ']';
        ++p;
        space();
        if (p < end && *p == close) {
            ++p;
            return true;
        }
        AttemptDecoder::Value ignored;
        while (true) {
            if (object) {
                bool escaped = false;
                std::string_view key;
                if (p >= end || *p != '"' || !string(key, escaped))
                    return false;
                space();
                if (p >= end || *p != ':')
                    return false;
                ++p;
                space();
            }
            if (!value(ignored, depth))
                return false;
            space();
            if (p < end && *p == ',') {
                ++p;
                space();
                continue;
            }
            if (p < end && *p == close) {
                ++p;
                return true;
            }
            return false;
        }
    }
};

struct FieldName {
    std::string_view name;
    AttemptDecoder::Field field;
};

constexpr FieldName kFields[] = {
    {"schemaVersion", AttemptDecoder::SchemaVersion},
    {"station", AttemptDecoder::Station},
    {"host", AttemptDecoder::Host},
    {"port", AttemptDecoder::Port},
    {"board", AttemptDecoder::Board},
    {"mac", AttemptDecoder::Mac},
    {"image", AttemptDecoder::Image},
    {"imageSha256", AttemptDecoder::ImageSha256},
    {"result", AttemptDecoder::Result},
    {"phase", AttemptDecoder::Phase},
    {"attempt", AttemptDecoder::Attempt},
    {"maxAttempts", AttemptDecoder::MaxAttempts},
    {"installed", AttemptDecoder::Installed},
    {"seconds", AttemptDecoder::Seconds},
    {"start", AttemptDecoder::Start},
    {"end", AttemptDecoder::End},
    {"reason", AttemptDecoder::Reason},
    {"dryRun", AttemptDecoder::DryRun},
};

// Spelt out by length and first letter: every key of every record comes
// here, and comparisons of a known length compile to a few instructions.
int fieldOf(std::string_view k)
{
    using D = AttemptDecoder;
    const auto is = [k](const auto &name) {
        return std::memcmp(k.data(), name, sizeof name - 1) == 0;
    };
    switch (k.size()) {
    case 3:
        return is("mac") ? D::Mac : is("end") ? D::End : -1;
    case 4:
        return is("host") ? D::Host : is("port") ? D::Port : -1;
    case 5:
        switch (k[0]) {
        case 'b':
            return is("board") ? D::Board : -1;
        case 'i':
            return is("image") ? D::Image : -1;
        case 'p':
            return is("phase") ? D::Phase : -1;
        case 's':
            return is("start") ? D::Start : -1;
        }
        return -1;
    case 6:
        switch (k[0]) {
        case 'r':
            return is("result") ? D::Result : is("reason") ? D::Reason : -1;
        case 'd':
            return is("dryRun") ? D::DryRun : -1;
        }
        return -1;
    case 7:
        switch (k[0]) {
        case 's':
            return is("station") ? D::Station : is("seconds") ? D::Seconds : -1;
        case 'a':
            return is("attempt") ? D::Attempt : -1;
        }
        return -1;
    case 9:
        return is("installed") ? D::Installed : -1;
    case 11:
        return is("imageSha256") ? D::ImageSha256 : is("maxAttempts") ? D::MaxAttempts : -1;
    case 13:
        return is("schemaVersion") ? D::SchemaVersion : -1;
    }
    return -1;
}

QString fieldName(AttemptDecoder::Field field)
{
    for (const FieldName &f : kFields) {
        if (f.field == field)
            return QString::fromLatin1(f.name.data(), qsizetype(f.name.size()));
    }
    return {};
}

QString problem(AttemptDecoder::Field field, const char *what)
{
    return QStringLiteral("\"%1\" %2").arg(fieldName(field), QLatin1String(what));
}

std::optional<qint64> wholeNumber(const AttemptDecoder::Value &v)
{
    if (v.kind != AttemptDecoder::Value::Number)
        return std::nullopt;
    qint64 n = 0;
    const auto [ptr, ec] = std::from_chars(v.raw.data(), v.raw.data() + v.raw.size(), n);
    if (ec != std::errc() || ptr != v.raw.data() + v.raw.size())
        return std::nullopt;
    return n;
}

} // namespace

std::optional<EpochMs> parseRecordTime(std::string_view t)
{
    // YYYY-MM-DDTHH:MM:SS at least.
    if (t.size() < 19 || t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != 't') ||
        t[13] != ':' || t[16] != ':')
        return std::nullopt;
    const int year = digits(t.data(), 4);
    const int month = digits(t.data() + 5, 2);
    const int day = digits(t.data() + 8, 2);
    const int hour = digits(t.data() + 11, 2);
    const int minute = digits(t.data() + 14, 2);
    const int second = digits(t.data() + 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    size_t i = 19;
    int ms = 0;
    if (i < t.size() && t[i] == '.') {
        int scale = 100;
        size_t first = ++i;
        for (; i < t.size() && isDigit(t[i]); ++i) {
            ms += (t[i] - '0') * scale;
            scale /= 10;
        }
        if (i == first)
            return std::nullopt;
    }
    int offsetMinutes = 0;
    if (i < t.size() && (t[i] == 'Z' || t[i] == 'z')) {
        ++i;
    } else if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        if (t.size() - i != 6 || t[i + 3] != ':')
            return std::nullopt;
        const int oh = digits(t.data() + i + 1, 2);
        const int om = digits(t.data() + i + 4, 2);
        if (oh < 0 || oh > 23 || om < 0 || om > 59)
            return std::nullopt;
        offsetMinutes = (t[i] == '-' ? -1 : 1) * (oh * 60 + om);
        i += 6;
    }
    if (i != t.size())
        return std::nullopt;
    const qint64 seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                           qMin(second, 59) - offsetMinutes * 60;
    return seconds * 1000 + ms;
}

std::optional<quint64> macAddressBits(std::string_view text)
{
    if (text.size() != 17)
        return std::nullopt;
    quint64 value = 0;
    for (size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2) {
            if (text[i] != ':' && text[i] != '-')
                return std::nullopt;
            continue;
        }
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | quint64(digit);
    }
    return value;
}

QString macAddressText(quint64 bits)
{
    QString text;
    for (int i = 5; i >= 0; --i) {
        text += QStringLiteral("%1").arg((bits >> (i * 8)) & 0xff, 2, 16, QLatin1Char('0'));
        if (i)
            text += QLatin1Char(':');
    }
    return text;
}

QString shownInput(const QString &path)
{
    return path == QLatin1String("-") ? QStringLiteral("(standard input)")
                                      : QDir::toNativeSeparators(path);
}

std::string_view AttemptDecoder::text(Field field)
{
    const Value &v = values_[field];
    if (!v.escaped)
        return v.raw;
    unescape(v.raw, unescaped_[field]);
    return unescaped_[field];
}

std::optional<QString> AttemptDecoder::decode(std::string_view line, AttemptLine &out)
{
    values_.fill(Value{});
    Scanner s{line.data(), line.data() + line.size()};
    s.space();
    if (s.p >= s.end || *s.p != '{')
        return QStringLiteral("not a JSON object");
    ++s.p;
    s.space();
    bool closed = s.p < s.end && *s.p == '}';
    if (closed)
        ++s.p;
    Value scratch;
    std::string keyText;
    while (!closed) {
        std::string_view key;
        bool escaped = false;
        if (s.p >= s.end || *s.p != '"' || !s.string(key, escaped))
            break;
        if (escaped) {
            unescape(key, keyText);
            key = keyText;
        }
        s.space();
        if (s.p >= s.end || *s.p != ':')
            break;
        ++s.p;
        s.space();
        const int field = fieldOf(key);
        Value &target = field >= 0 ? values_[size_t(field)] : scratch;
        target = Value{};
        if (!s.value(target, 0))
            break;
        s.space();
        if (s.p < s.end && *s.p == ',') {
            ++s.p;
            s.space();
            continue;
        }
        if (s.p < s.end && *s.p == '}') {
            ++s.p;
            closed = true;
        }
        break;
    }
    if (closed)
        s.space();
    if (!closed || s.p != s.end)
        return QStringLiteral("not valid JSON (at byte %1)").arg(s.p - line.data() + 1);

    const auto isString = [this](Field f) { return values_[f].kind == Value::String; };
    const auto stringOrAbsent = [this](Field f) {
        const Value::Kind k = values_[f].kind;
        return k == Value::String || k == Value::Null || k == Value::Missing;
    };
    if (values_[SchemaVersion].kind != Value::Missing) {
        const auto version = wholeNumber(values_[SchemaVersion]);
        if (!version)
            return problem(SchemaVersion, "is not a whole number");
        if (*version != 1)
            return QStringLiteral("\"schemaVersion\" %1 is not one this reader knows (1)")
                .arg(*version);
    }
    for (Field f : {Station, Host, Result, Start}) {
        if (values_[f].kind == Value::Missing)
            return problem(f, "is missing");
        if (!isString(f))
            return problem(f, "is not a text");
    }
    for (Field f : {Mac, Image, ImageSha256, Phase, Reason, End}) {
        if (!stringOrAbsent(f))
            return problem(f, "is not a text");
    }
    for (Field f : {Installed, DryRun}) {
        if (values_[f].kind != Value::Missing && values_[f].kind != Value::Bool)
            return problem(f, "is not true or false");
    }
    const auto port = wholeNumber(values_[Port]);
    if (values_[Port].kind == Value::Missing)
        return problem(Port, "is missing");
    if (!port || *port < 0 || *port > 65535)
        return problem(Port, "is not a port number");
    const auto attempt = wholeNumber(values_[Attempt]);
    if (values_[Attempt].kind == Value::Missing)
        return problem(Attempt, "is missing");
    if (!attempt || *attempt < 1 || *attempt > 1000000)
        return problem(Attempt, "is not a count from 1");
    std::optional<qint64> maxAttempts = *attempt;
    if (values_[MaxAttempts].kind != Value::Missing) {
        maxAttempts = wholeNumber(values_[MaxAttempts]);
        if (!maxAttempts || *maxAttempts < 1 || *maxAttempts > 1000000)
            return problem(MaxAttempts, "is not a count from 1");
    }
    std::optional<qint64> board = 0;
    if (values_[Board].kind != Value::Missing) {
        board = wholeNumber(values_[Board]);
        if (!board || *board < 0 || *board > 2000000000)
            return problem(Board, "is not a board number");
    }
    double seconds = 0;
    if (values_[Seconds].kind != Value::Missing) {
        const Value &v = values_[Seconds];
        if (v.kind != Value::Number)
            return problem(Seconds, "is not a number");
        std::from_chars(v.raw.data(), v.raw.data() + v.raw.size(), seconds);
        if (!(seconds >= 0 && seconds < 1e9))
            return problem(Seconds, "is not a length of time");
    }
    out.station = text(Station);
    out.host = text(Host);
    out.result = text(Result);
    if (out.result.empty())
        return problem(Result, "is empty");
    const auto start = parseRecordTime(text(Start));
    if (!start)
        return problem(Start, "is not a time (2025-03-01T08:15:02.125Z)");
    out.start = *start;
    out.end = *start + qint64(seconds * 1000.0 + 0.5);
    if (values_[End].kind == Value::String) {
        const auto end = parseRecordTime(text(End));
        if (!end)
            return problem(End, "is not a time (2025-03-01T08:15:02.125Z)");
        out.end = qMax(*end, *start);
    }
    out.phase = isString(Phase) ? text(Phase) : std::string_view();
    out.reason = isString(Reason) ? text(Reason) : std::string_view();
    out.image = isString(Image) ? text(Image) : std::string_view();
    out.hasSha256 = isString(ImageSha256);
    out.sha256 = out.hasSha256 ? text(ImageSha256) : std::string_view();
    out.hasMac = isString(Mac) && !values_[Mac].raw.empty();
    out.mac = out.hasMac ? text(Mac) : std::string_view();
    out.port = int(*port);
    out.attempt = int(*attempt);
    out.maxAttempts = int(qMax(*maxAttempts, *attempt));
    out.board = int(*board);
    out.installed = values_[Installed].truth;
    out.dryRun = values_[DryRun].truth || out.result == "READY";
    out.seconds = seconds;
    return std::nullopt;
}

LineReader::LineReader(QIODevice &device) : device_(device), buffer_(size_t(kMaxLine) * 2) {}

bool LineReader::fill()
{
    if (atEnd_)
        return false;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, size_t(end_ - begin_));
        consumed_ += begin_;
        end_ -= begin_;
        begin_ = 0;
    }
    const qint64 got = device_.read(buffer_.data() + end_, qint64(buffer_.size()) - end_);
    if (got < 0) {
        error_ = device_.errorString();
        atEnd_ = true;
        return false;
    }
    if (got == 0) {
        atEnd_ = true;
        return false;
    }
    end_ += got;
    return true;
}

bool LineReader::next(std::string_view &line)
{
    tooLong_ = false;
    qsizetype scanned = begin_;
    while (true) {
        const char *found = static_cast<const char *>(
            std::memchr(buffer_.data() + scanned, '\n', size_t(end_ - scanned)));
        if (found) {
            const qsizetype stop = found - buffer_.data();
            ++number_;
            offset_ = consumed_ + begin_;
            qsizetype length = stop - begin_;
            if (length > 0 && buffer_[size_t(stop - 1)] == '\r')
                --length;
            line = std::string_view(buffer_.data() + begin_, size_t(length));
            begin_ = stop + 1;
            if (tooLong_)
                line = {};
            return true;
        }
        if (end_ - begin_ >= kMaxLine) {
            // Kept to a bounded buffer: the line's start is dropped, its end
            // still found.
            tooLong_ = true;
            consumed_ += end_;
            begin_ = end_ = 0;
        }
        scanned = end_;
        const qsizetype before = begin_;
        if (!fill()) {
            if (end_ == begin_ && !tooLong_)
                return false;
            ++number_;
            offset_ = consumed_ + begin_;
            line = tooLong_ ? std::string_view()
                            : std::string_view(buffer_.data() + begin_, size_t(end_ - begin_));
            unfinished_ = true;
            begin_ = end_;
            return error_.isEmpty() || !line.empty() || tooLong_;
        }
        scanned -= before - begin_;
    }
}

} // namespace corvanel::records
