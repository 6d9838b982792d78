#include "common/field_reader.h"

#include <QBuffer>
#include <QTest>

using corvanel::FieldReader;

namespace {

// The image loader's way: test the end before each read, keep every field.
QList<QByteArray> readAsImage(const QByteArray &bytes, FieldReader::Error *error = nullptr)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    FieldReader reader(buffer, 1000);
    QList<QByteArray> fields;
    QByteArray field;
    while (!reader.atEnd() && reader.readField(field))
        fields.append(field);
    if (error)
        *error = reader.error();
    return fields;
}

// The address list's way: read first, test after, skip empty fields.
QList<QByteArray> readAsAddresses(const QByteArray &bytes, FieldReader::Error *error)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    FieldReader reader(buffer, 1000);
    QList<QByteArray> fields;
    QByteArray field;
    do {
        if (!reader.readField(field))
            break;
        if (!field.isEmpty())
            fields.append(field);
    } while (!reader.atEnd());
    *error = reader.error();
    return fields;
}

// An endless stream of one byte that counts how often it was asked for data.
class EndlessDevice : public QIODevice {
public:
    explicit EndlessDevice(char fill) : fill_(fill) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 calls = 0;
    qint64 served = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        ++calls;
        std::memset(data, fill_, size_t(maxSize));
        served += maxSize;
        return maxSize;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    char fill_;
};

// Serves `good` bytes, then fails.
class FailingDevice : public QIODevice {
public:
    explicit FailingDevice(QByteArray good) : good_(std::move(good)) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (good_.isEmpty())
            return -1;
        const qint64 n = qMin<qint64>(maxSize, good_.size());
        std::memcpy(data, good_.constData(), size_t(n));
        good_.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray good_;
};

} // namespace

class TestFieldReader : public QObject {
    Q_OBJECT

private slots:
    void callersDiffer_data();
    void callersDiffer();
    void bytesPassUnchanged();
    void longFieldsAcrossBlocks();
    void failsFastWithoutLineEnd_data();
    void failsFastWithoutLineEnd();
    void readFailure();
};

using Fields = QList<QByteArray>;

void TestFieldReader::callersDiffer_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Fields>("image");
    QTest::addColumn<Fields>("addresses");
    QTest::addColumn<bool>("addressesPastEnd"); // the address read ran off the end

    auto add = [](const char *name, const QByteArray &in, Fields img, Fields adr, bool past) {
        QTest::newRow(name) << in << img << adr << past;
    };
    add("empty", "", {}, {}, true);
    add("no line end", "a", {"a"}, {"a"}, false);
    add("CR LF end", "a\r\n", {"a"}, {"a"}, false);
    add("LF end", "a\n", {"a"}, {"a"}, false);
    add("blank line inside", "a\r\n\r\nb\r\n", {"a", "", "b"}, {"a", "b"}, false);
    add("blank line at end", "a\r\n\r\n", {"a", ""}, {"a"}, false);
    add("only blank lines CR LF", "\r\n\r\n", {"", ""}, {}, false);
    add("only blank lines LF", "\n\n\n", {"", "", ""}, {}, false);
    add("mixed line ends", "a\nb\r\nc", {"a", "b", "c"}, {"a", "b", "c"}, false);
    add("commas", "a,b\r\nc", {"a", "b", "c"}, {"a", "b", "c"}, false);
    add("comma before line end", "a,\r\nb", {"a", "", "b"}, {"a", "b"}, false);
    add("leading spaces", "   a b \r\n", {"a b "}, {"a b "}, false);
    add("spaces only", "   ", {""}, {}, false);
    add("quoted with comma", "\"x, y\"\r\nz", {"x, y", "z"}, {"x, y", "z"}, false);
    add("text after closing quote dropped", "  \"q\"junk,z\n", {"q", "z"}, {"q", "z"}, false);
    add("quoted across line end", "\"a\r\nb\"\r\nc", {"a\r\nb", "c"}, {"a\r\nb", "c"}, false);
    add("quote never closed", "\"open,x", {"open,x"}, {"open,x"}, false);
    add("empty quotes", "\"\"\r\nb", {"", "b"}, {"b"}, false);
    add("quote inside field kept", "a\"b\r\n", {"a\"b"}, {"a\"b"}, false);
    add("lone CR is data", "a\rb\n", {"a\rb"}, {"a\rb"}, false);
    add("CR as last byte ends the line", "a\r", {"a"}, {"a"}, false);
}

void TestFieldReader::callersDiffer()
{
    QFETCH(QByteArray, input);
    QFETCH(Fields, image);
    QFETCH(Fields, addresses);
    QFETCH(bool, addressesPastEnd);

    FieldReader::Error error;
    QCOMPARE(readAsImage(input, &error), image);
    QCOMPARE(error, FieldReader::Error::None);

    QCOMPARE(readAsAddresses(input, &error), addresses);
    QCOMPARE(error, addressesPastEnd ? FieldReader::Error::PastEnd : FieldReader::Error::None);
}

void TestFieldReader::bytesPassUnchanged()
{
    // Every byte value but the delimiters, and a NUL and high bytes leading a
    // line, come back exactly: nothing is decoded.
    QByteArray line;
    for (int b = 0; b < 256; ++b) {
        if (b != ',' && b != '\n' && b != '"' && b != ' ' && b != '\r')
            line.append(char(b));
    }
    const QByteArray second("\0\xff\x80:10", 6);
    const Fields fields = readAsImage(line + "\r\n" + second + "\n");
    QCOMPARE(fields, Fields({line, second}));
    QCOMPARE(fields.at(1).size(), 6);
}

void TestFieldReader::longFieldsAcrossBlocks()
{
    // Fields of up to the limit pass whole whatever the block size of the
    // reader; one byte more fails. The CR LF is placed across the reader's
    // 64 KiB blocks.
    constexpr qsizetype kMax = 70000;
    for (qsizetype length : {qsizetype(65535), qsizetype(65536), kMax, kMax + 1}) {
        const QByteArray body(length, 'x');
        QBuffer buffer;
        buffer.setData(body + "\r\nend\r\n");
        buffer.open(QIODevice::ReadOnly);
        FieldReader reader(buffer, kMax);
        const auto first = reader.readField();
        if (length > kMax) {
            QVERIFY(!first);
            QCOMPARE(reader.error(), FieldReader::Error::FieldTooLong);
            QVERIFY(reader.atEnd());
            continue;
        }
        QVERIFY2(first, qPrintable(QString::number(length)));
        QCOMPARE(first->size(), length);
        QCOMPARE(*first, body);
        QCOMPARE(reader.readField(), std::optional<QByteArray>("end"));
        QVERIFY(reader.atEnd());
    }
}

void TestFieldReader::failsFastWithoutLineEnd_data()
{
    QTest::addColumn<char>("fill");
    QTest::newRow("text") << 'x';
    QTest::newRow("spaces") << ' ';
    QTest::newRow("quotes") << '"'; // "" and then endless text after the closing quote
}

void TestFieldReader::failsFastWithoutLineEnd()
{
    // An endless stream with no line end: the reader gives up near the limit,
    // holding no more than the limit, and asks for data in large blocks.
    QFETCH(char, fill);
    EndlessDevice device(fill);
    FieldReader reader(device, 65501);
    QByteArray field;
    QVERIFY(!reader.readField(field));
    QVERIFY(field.isEmpty());
    QCOMPARE(reader.error(), FieldReader::Error::FieldTooLong);
    QVERIFY(device.served < 4 * 65536);
    QVERIFY2(device.calls < 10, qPrintable(QString::number(device.calls)));
}

void TestFieldReader::readFailure()
{
    FailingDevice device("one\r\ntwo");
    FieldReader reader(device, 1000);
    QCOMPARE(reader.readField(), std::optional<QByteArray>("one"));
    QVERIFY(!reader.atEnd());
    // "two" has no line end, so the reader asks for more and the device fails.
    QCOMPARE(reader.readField(), std::nullopt);
    QCOMPARE(reader.error(), FieldReader::Error::ReadFailed);
    QVERIFY(reader.atEnd());
}

QTEST_APPLESS_MAIN(TestFieldReader)
#include "tst_field_reader.moc"
