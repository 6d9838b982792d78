#include "common/field_reader.h"

#include <cstring>

namespace corvanel {

namespace {

constexpr qsizetype kBlockBytes = 64 * 1024;

// First comma or LF in [begin, end), or end.
const char *findDelimiter(const char *begin, const char *end)
{
    for (const char *p = begin; p != end; ++p) {
        if (*p == ',' || *p == '\n')
            return p;
    }
    return end;
}

} // namespace

FieldReader::FieldReader(QIODevice &device, qsizetype maxFieldBytes)
    : device_(device), maxFieldBytes_(maxFieldBytes), block_(kBlockBytes, Qt::Uninitialized)
{
}

bool FieldReader::fill()
{
    if (pos_ < len_)
        return true;
    if (deviceDone_)
        return false;
    const qint64 n = device_.read(block_.data(), block_.size());
    pos_ = 0;
    len_ = n > 0 ? n : 0;
    if (n < 0) {
        deviceDone_ = true;
        error_ = Error::ReadFailed;
        return false;
    }
    if (n == 0) {
        deviceDone_ = true;
        return false;
    }
    return true;
}

bool FieldReader::fail(Error error)
{
    if (error_ == Error::None)
        error_ = error;
    return false;
}

bool FieldReader::tooLong(Part part)
{
    tooLongPart_ = part;
    return fail(Error::FieldTooLong);
}

bool FieldReader::skipTooLongField()
{
    if (error_ != Error::FieldTooLong)
        return false;
    error_ = Error::None;
    Part part = tooLongPart_;
    while (part != Part::Done) {
        if (!fill()) // the end of the data ends the field too
            return error_ == Error::None;
        const char *begin = block_.constData() + pos_;
        const char *end = block_.constData() + len_;
        switch (part) {
        case Part::Spaces:
            while (begin != end && *begin == ' ')
                ++begin;
            if (begin != end) {
                part = *begin == '"' ? Part::Quoted : Part::Unquoted;
                if (part == Part::Quoted)
                    ++begin;
            }
            pos_ = begin - block_.constData();
            break;
        case Part::Unquoted:
        case Part::AfterQuote: {
            const char *hit = findDelimiter(begin, end);
            pos_ = hit - block_.constData() + (hit != end ? 1 : 0);
            if (hit != end)
                part = Part::Done;
            break;
        }
        case Part::Quoted: {
            const auto *quote =
                static_cast<const char *>(std::memchr(begin, '"', size_t(end - begin)));
            pos_ = quote ? quote - block_.constData() + 1 : len_;
            if (quote)
                part = Part::AfterQuote;
            break;
        }
        case Part::Done:
            break;
        }
    }
    return true;
}

bool FieldReader::atEnd()
{
    return error_ != Error::None || !fill();
}

std::optional<QByteArray> FieldReader::readField()
{
    QByteArray field;
    if (!readField(field))
        return std::nullopt;
    return field;
}

bool FieldReader::readField(QByteArray &field)
{
    field.resize(0);
    if (readFieldInto(field))
        return true;
    field.resize(0); // no part of a failed field is handed out
    return false;
}

bool FieldReader::readFieldInto(QByteArray &field)
{
    if (error_ != Error::None)
        return false;
    if (!fill())
        return fail(Error::PastEnd);

    // Leading spaces; they count against the limit so that a file of nothing
    // but spaces cannot keep the reader busy for ever.
    qsizetype raw = 0;
    for (;;) {
        while (pos_ < len_ && block_.constData()[pos_] == ' ') {
            ++pos_;
            ++raw;
        }
        if (raw > maxFieldBytes_)
            return tooLong(Part::Spaces);
        if (pos_ < len_)
            break;
        if (!fill())
            return error_ == Error::None; // spaces up to the end: an empty field
    }

    if (block_.constData()[pos_] == '"') {
        ++pos_;
        return readQuoted(field, raw + 1);
    }
    return readUnquoted(field, raw);
}

bool FieldReader::readUnquoted(QByteArray &field, qsizetype raw)
{
    for (;;) {
        const char *begin = block_.constData() + pos_;
        const char *end = block_.constData() + len_;
        const char *hit = findDelimiter(begin, end);
        field.append(begin, hit - begin);
        if (hit != end) {
            pos_ += hit - begin + 1;
            if (*hit == '\n' && field.endsWith('\r'))
                field.chop(1);
            return raw + field.size() <= maxFieldBytes_ || tooLong(Part::Done);
        }
        pos_ = len_;
        // One byte of slack: a CR that may yet turn out to be half of CR LF.
        if (raw + field.size() > maxFieldBytes_ + 1)
            return tooLong(Part::Unquoted);
        if (!fill()) {
            if (error_ != Error::None)
                return false;
            if (field.endsWith('\r')) // CR LF cut short by the end of the file
                field.chop(1);
            return raw + field.size() <= maxFieldBytes_ || tooLong(Part::Done);
        }
    }
}

bool FieldReader::readQuoted(QByteArray &field, qsizetype raw)
{
    // The quoted text, line ends and commas included, up to the closing quote.
    for (;;) {
        const char *begin = block_.constData() + pos_;
        const qsizetype avail = len_ - pos_;
        const auto *quote = static_cast<const char *>(std::memchr(begin, '"', size_t(avail)));
        const qsizetype take = quote ? quote - begin : avail;
        field.append(begin, take);
        pos_ += take;
        if (raw + field.size() > maxFieldBytes_)
            return tooLong(Part::Quoted);
        if (quote) {
            ++pos_;
            ++raw;
            break;
        }
        if (!fill()) // no closing quote: the field runs to the end of the file
            return error_ == Error::None;
    }

    // Whatever follows the closing quote up to the next delimiter is dropped.
    for (;;) {
        if (!fill())
            return error_ == Error::None;
        const char *begin = block_.constData() + pos_;
        const char *end = block_.constData() + len_;
        const char *hit = findDelimiter(begin, end);
        raw += hit - begin;
        if (raw + field.size() > maxFieldBytes_ + 1)
            return tooLong(Part::AfterQuote);
        if (hit != end) {
            pos_ += hit - begin + 1;
            return true;
        }
        pos_ = len_;
    }
}

} // namespace corvanel
