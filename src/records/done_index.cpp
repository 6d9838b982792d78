#include "records/done_index.h"

#include "records/record_line.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace corvanel::records {

namespace {

constexpr int kNamedBadLines = 10;
constexpr int kMaxFiles = 32767;

QByteArrayView view(std::string_view text)
{
    return QByteArrayView(text.data(), qsizetype(text.size()));
}

QByteArray byAddress(QByteArrayView station, QByteArrayView host, int port)
{
    return "address\n" + station.toByteArray() + '\n' + host.toByteArray() + ':' +
           QByteArray::number(port);
}

QByteArray byMacText(QByteArrayView mac)
{
    return "mac\n" + mac.toByteArray().toLower();
}

} // namespace

DoneIndex::DoneIndex() = default;
DoneIndex::~DoneIndex() = default;

std::optional<QString> DoneIndex::addReport(const QString &path)
{
    auto file = std::make_unique<QFile>();
    bool opened = false;
    const bool seekable =
        path != QLatin1String("-") && QFileInfo(path).isFile() && files_.size() < size_t(kMaxFiles);
    if (path == QLatin1String("-")) {
        opened = file->open(stdin, QIODevice::ReadOnly);
    } else {
        file->setFileName(path);
        opened = file->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    if (!opened)
        return QStringLiteral("cannot read the report \"%1\": %2")
            .arg(shownInput(path), file->errorString());
    if (!seekable)
        return read(path, *file, -1);
    files_.push_back(std::move(file));
    return read(path, *files_.back(), int(files_.size()) - 1);
}

std::optional<QString> DoneIndex::add(const QString &name, QIODevice &device)
{
    return read(name, device, -1);
}

int DoneIndex::imageIndex(QByteArrayView sha256)
{
    const QByteArray key = sha256.toByteArray().toLower();
    if (!sha256_.isEmpty() && sha256_.last() == key)
        return int(sha256_.size()) - 1;
    const auto it = imageIndex_.constFind(key);
    if (it != imageIndex_.cend())
        return *it;
    sha256_.append(key);
    imageIndex_.insert(key, int(sha256_.size()) - 1);
    return int(sha256_.size()) - 1;
}

std::optional<QString> DoneIndex::read(const QString &name, QIODevice &device, int source)
{
    LineReader reader(device);
    AttemptDecoder decoder;
    AttemptLine a;
    std::string_view line;
    int lastImage = -1;
    std::string lastSha;
    while (reader.next(line)) {
        std::optional<QString> problem;
        if (reader.tooLong())
            problem = QStringLiteral("longer than %1 bytes").arg(LineReader::kMaxLine);
        else if (line.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        else
            problem = decoder.decode(line, a);
        if (problem) {
            if (++badLines_ <= kNamedBadLines)
                namedBadLines_.append(
                    {shownInput(name) + QLatin1Char(':') + QString::number(reader.lineNumber()),
                     *problem});
            continue;
        }
        ++records_;
        if (a.dryRun || a.result == "SKIPPED")
            continue;
        Entry entry;
        if (a.hasSha256) {
            if (lastImage < 0 || lastSha != a.sha256) {
                lastImage = imageIndex(view(a.sha256));
                lastSha.assign(a.sha256);
            }
            entry.image = lastImage;
        }
        const auto bits = a.hasMac ? macAddressBits(a.mac) : std::nullopt;
        entry.mac = bits ? kMacKnown | *bits : a.hasMac ? kMacKnown | kMacUnreadable : 0;
        entry.ended = a.result == "END";
        entry.installed = a.installed;
        entry.source = qint16(source);
        entry.offset = reader.lineOffset();
        entry.length = qint32(line.size());
        if (source < 0) {
            // Only a line that may be relied on is kept.
            entry.offset = entry.ended ? raw_.size() : -1;
            if (entry.ended)
                raw_.append(view(line).toByteArray());
        }
        if (bits)
            byMac_.insert(*bits, entry);
        else if (a.hasMac)
            byText_.insert(byMacText(view(a.mac)), entry);
        if (a.board == 0)
            byText_.insert(byAddress(view(a.station), view(a.host), a.port), entry);
    }
    if (!reader.error().isEmpty())
        return QStringLiteral("cannot read the report \"%1\": %2")
            .arg(shownInput(name), reader.error());
    return std::nullopt;
}

std::optional<QJsonObject> DoneIndex::recordOf(const Entry &entry) const
{
    QByteArray line;
    if (entry.source >= 0) {
        QFile &file = *files_[size_t(entry.source)];
        if (!file.seek(entry.offset))
            return std::nullopt;
        line = file.read(entry.length);
    } else if (entry.offset >= 0 && entry.offset < raw_.size()) {
        line = raw_[entry.offset];
    }
    const QJsonDocument document = QJsonDocument::fromJson(line);
    // A report changed in place since it was read is not relied on.
    if (!document.isObject() ||
        document.object().value(QStringLiteral("result")).toString() != QLatin1String("END"))
        return std::nullopt;
    return document.object();
}

std::optional<QJsonObject> DoneIndex::decide(const Entry &entry, const DoneQuery &query) const
{
    if (!entry.ended || entry.image < 0 ||
        sha256_[entry.image] != query.imageSha256.toLatin1().toLower() ||
        (query.installWanted && !entry.installed))
        return std::nullopt;
    return recordOf(entry);
}

std::optional<QJsonObject> DoneIndex::lookup(const DoneQuery &query) const
{
    quint64 mac = 0;
    if (query.mac && !query.mac->isEmpty()) {
        const QByteArray text = query.mac->toLatin1();
        const auto bits = macAddressBits(std::string_view(text.constData(), size_t(text.size())));
        mac = bits ? kMacKnown | *bits : kMacKnown | kMacUnreadable;
        const Entry *found = nullptr;
        if (const auto it = byMac_.constFind(bits.value_or(0)); bits && it != byMac_.cend())
            found = &*it;
        if (const auto it = byText_.constFind(byMacText(text)); !bits && it != byText_.cend())
            found = &*it;
        if (found)
            return decide(*found, query);
    }
    if (query.board > 0)
        return std::nullopt;
    const auto it =
        byText_.constFind(byAddress(query.station.toUtf8(), query.host.toUtf8(), query.port));
    // A record that knows another board's MAC address is not this board's.
    if (it == byText_.cend() || (it->mac != 0 && (it->mac != mac || (mac & kMacUnreadable))))
        return std::nullopt;
    return decide(*it, query);
}

} // namespace corvanel::records
