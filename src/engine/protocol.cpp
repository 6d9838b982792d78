#include "engine/protocol.h"

#include <cctype>
#include <cstring>

namespace corvanel::protocol {

namespace {

QByteArray frame(QByteArrayView line)
{
    // One allocation, three copies: this runs for every line sent.
    QByteArray message(kPrefix.size() + line.size() + kLineEnd.size(), Qt::Uninitialized);
    char *out = message.data();
    std::memcpy(out, kPrefix.data(), size_t(kPrefix.size()));
    out += kPrefix.size();
    if (!line.isEmpty())
        std::memcpy(out, line.data(), size_t(line.size()));
    std::memcpy(out + line.size(), kLineEnd.data(), size_t(kLineEnd.size()));
    return message;
}

} // namespace

QByteArray downloadLineMessage(QByteArrayView line)
{
    return frame(line);
}

QByteArray verifyLineMessage(QByteArrayView line)
{
    QByteArray message = frame(line);
    char *at = message.data() + kPrefix.size();
    char *const end = at + line.size();
    // A record holds one ':', at its start; any other is changed as well.
    while ((at = static_cast<char *>(std::memchr(at, ':', size_t(end - at)))) != nullptr)
        *at++ = '#';
    return message;
}

bool isEndOfFileRecord(QByteArrayView line)
{
    // Start code, byte count, address, type, checksum.
    constexpr qsizetype kLength = 1 + 2 + 4 + 2 + 2;
    if (line.size() != kLength || line.front() != ':')
        return false;
    for (qsizetype i = 1; i < kLength; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(line[i])))
            return false;
    }
    return line.sliced(1, 2) == "00" && line.sliced(7, 2) == "01";
}

QByteArrayView trimTrailingSpaces(QByteArrayView reply)
{
    qsizetype end = reply.size();
    while (end > 0 && reply[end - 1] == ' ')
        --end;
    return reply.first(end);
}

ReplyKind classifyReply(QByteArrayView trimmed, bool imageLoaded)
{
    if (imageLoaded && trimmed.contains(kTokenVersion))
        return ReplyKind::Version;
    if (trimmed.contains(kTokenError))
        return ReplyKind::Error;
    if (trimmed.contains(kTokenPassEnd))
        return ReplyKind::PassEnd;
    if (trimmed.contains(kTokenOk))
        return ReplyKind::Ok;
    return ReplyKind::Other;
}

} // namespace corvanel::protocol
