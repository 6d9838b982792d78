#include "common/field_reader.h"

#include <QBuffer>
#include <QTest>

using corvanel::FieldReader;
using Fields = QList<QByteArray>;
using Error = FieldReader::Error;
Q_DECLARE_METATYPE(Error)

namespace {

// Reads to the end the way one of the two callers does: the image loader
// tests the end before each read and keeps every field; the address list
// reads first, tests after and skips empty fields.
Fields readAll(QIODevice &device, bool addresses, Error &error, qsizetype limit)
{
    FieldReader reader(device, limit);
    Fields fields;
    QByteArray field;
    if (addresses) {
        do {
            if (!reader.readField(field))
                break;
            if (!field.isEmpty())
                fields.append(field);
        } while (!reader.atEnd());
    } else {
        while (!reader.atEnd() && reader.readField(field))
            fields.append(field);
        // A failed read must leave the field empty and the reader at its end.
        if (reader.error() != Error::None && (!field.isEmpty() || !reader.atEnd()))
            fields.append("<failed read left a field or more to read>");
    }
    error = reader.error();
    return fields;
}

constexpr qsizetype kLimit = 70000;

Fields readBytes(QByteArray bytes, bool addresses, Error &error)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return readAll(buffer, addresses, error, kLimit);
}

// Serves `good`, then fails or, with a `fill` byte, goes on with it forever.
class StreamDevice : public QIODevice {
public:
    StreamDevice(QByteArray good, char fill) : good_(good), fill_(fill) { open(ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 calls = 0, served = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        ++calls;
        if (good_.isEmpty() && fill_ != 0)
            good_.fill(fill_, maxSize);
        const qint64 n = qMin<qint64>(maxSize, good_.size());
        if (n == 0)
            return -1;
        std::memcpy(data, good_.constData(), size_t(n));
        good_.remove(0, n);
        served += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray good_;
    char fill_;
};

} // namespace

class TestFieldReader : public QObject {
    Q_OBJECT

private slots:
    void callersDiffer_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Fields>("image");
        QTest::addColumn<Fields>("addresses");
        QTest::addColumn<Error>("error"); // how the image read ends
        auto add = [](const char *name, const QByteArray &in, Fields img, Fields adr,
                      Error error = Error::None) {
            QTest::newRow(name) << in << img << adr << error;
        };
        add("empty", "", {}, {});
        add("no line end", "a", {"a"}, {"a"});
        add("CR LF end", "a\r\n", {"a"}, {"a"});
        add("LF end", "a\n", {"a"}, {"a"});
        add("blank line inside", "a\r\n\r\nb\r\n", {"a", "", "b"}, {"a", "b"});
        add("blank line at end", "a\r\n\r\n", {"a", ""}, {"a"});
        add("only blank lines CR LF", "\r\n\r\n", {"", ""}, {});
        add("only blank lines LF", "\n\n\n", {"", "", ""}, {});
        add("mixed line ends", "a\nb\r\nc", {"a", "b", "c"}, {"a", "b", "c"});
        add("commas", "a,b\r\nc", {"a", "b", "c"}, {"a", "b", "c"});
        add("comma before line end", "a,\r\nb", {"a", "", "b"}, {"a", "b"});
        add("leading spaces", "   a b \r\n", {"a b "}, {"a b "});
        add("spaces only", "   ", {""}, {});
        add("quoted with comma", "\"x, y\"\r\nz", {"x, y", "z"}, {"x, y", "z"});
        add("text after closing quote dropped", "  \"q\"junk,z\n", {"q", "z"}, {"q", "z"});
        add("quoted across line end", "\"a\r\nb\"\r\nc", {"a\r\nb", "c"}, {"a\r\nb", "c"});
        add("quote never closed", "\"open,x", {"open,x"}, {"open,x"});
        add("empty quotes", "\"\"\r\nb", {"", "b"}, {"b"});
        add("quote inside field kept", "a\"b\r\n", {"a\"b"}, {"a\"b"});
        add("lone CR is data", "a\rb\n", {"a\rb"}, {"a\rb"});
        add("CR as last byte ends the line", "a\r", {"a"}, {"a"});
        // Every byte value but the delimiters, and a NUL and high bytes
        // leading a line, come back exactly: nothing is decoded or cut.
        QByteArray all;
        for (int b = 0; b < 256; ++b) {
            if (!QByteArrayView(",\n\" \r").contains(char(b)))
                all.append(char(b));
        }
        const QByteArray high("\0\xff\x80:10", 6);
        add("NUL and high bytes", all + "\r\n" + high + "\n", {all, high}, {all, high});
        // Fields of up to the limit pass whole whatever the reader's block
        // size; one byte more fails. The CR LF falls across its 64 KiB blocks.
        for (const qsizetype length : {qsizetype(65535), qsizetype(65536), kLimit}) {
            const Fields fields{QByteArray(length, 'x'), "end"};
            QTest::addRow("%d-byte field", int(length)) << fields.join("\r\n") + "\r\n"
                                                        << fields << fields << Error::None;
        }
        add("a byte too long", QByteArray(kLimit + 1, 'x') + "\r\nend", {}, {},
            Error::FieldTooLong);
    }

    void callersDiffer()
    {
        QFETCH(QByteArray, input);
        QFETCH(Fields, image);
        QFETCH(Fields, addresses);
        QFETCH(Error, error);
        Error got = Error::None;
        QCOMPARE(readBytes(input, false, got), image);
        QCOMPARE(got, error);
        // The address read runs off the end of an empty input.
        QCOMPARE(readBytes(input, true, got), addresses);
        QCOMPARE(got, input.isEmpty() ? Error::PastEnd : error);
    }

    void skipTooLong_data()
    {
        // A caller that skips over-long fields: each one skipped shows as "-".
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Fields>("fields");
        auto add = [](const char *name, const QByteArray &in, Fields fields) {
            QTest::newRow(name) << in << fields;
        };
        add("within the block", "ab,toolong,cd\r\nef", {"ab", "-", "cd", "ef"});
        add("at the end", "ab\r\ntoolong", {"ab", "-"});
        add("in the spaces", "       x, y\r\nz", {"-", "y", "z"});
        add("spaces, then quotes", "      \"a,b\nc\",d", {"-", "d"});
        add("inside quotes", "\"long,\ntext\"junk,z", {"-", "z"});
        add("behind the quotes", "\"ab\"junkjunk,z\n", {"-", "z"});
        add("quote never closed", "ab\n\"open,\nx", {"ab", "-"});
        const QByteArray big(3 * 65536, 'x'); // runs across the reader's blocks
        add("across blocks", "ab\r\n" + big + "\r\ncd", {"ab", "-", "cd"});
        add("quoted across blocks", "\"" + big + ",\n\"" + big + "\ncd", {"-", "cd"});
    }

    void skipTooLong()
    {
        QFETCH(QByteArray, input);
        QFETCH(Fields, fields);
        QBuffer buffer(&input);
        buffer.open(QIODevice::ReadOnly);
        FieldReader reader(buffer, input.size() > 65536 ? kLimit : 4);
        Fields got;
        QByteArray field;
        while (!reader.atEnd()) {
            if (reader.readField(field)) {
                got.append(field);
            } else {
                QCOMPARE(reader.error(), Error::FieldTooLong);
                QVERIFY(reader.skipTooLongField());
                got.append("-");
            }
        }
        QCOMPARE(got, fields);
        QCOMPARE(reader.error(), Error::None);
        QVERIFY(!reader.skipTooLongField()); // nothing to skip
    }

    void streamFailures_data()
    {
        QTest::addColumn<QByteArray>("good");
        QTest::addColumn<char>("fill"); // 0: the device fails after `good`
        QTest::addColumn<Fields>("fields");
        QTest::addColumn<Error>("error");
        // "two" has no line end, so the reader asks for more and the device fails.
        QTest::newRow("read fails")
            << QByteArray("one\r\ntwo") << '\0' << Fields{"one"} << Error::ReadFailed;
        // No line end ever: the reader gives up near the limit. After "" the
        // quotes are endless text behind the closing quote.
        for (const char fill : {'x', ' ', '"'})
            QTest::addRow("endless %c", fill)
                << QByteArray() << fill << Fields{} << Error::FieldTooLong;
    }

    void streamFailures()
    {
        // The reader holds no more than the limit and asks for data in large blocks.
        QFETCH(QByteArray, good);
        QFETCH(char, fill);
        QFETCH(Fields, fields);
        QFETCH(Error, error);
        StreamDevice device(good, fill);
        Error got = Error::None;
        QCOMPARE(readAll(device, false, got, 65501), fields);
        QCOMPARE(got, error);
        QVERIFY(device.served < 4 * 65536);
        QVERIFY2(device.calls < 10, qPrintable(QString::number(device.calls)));
    }
};

QTEST_APPLESS_MAIN(TestFieldReader)
#include "test_field_reader.moc"
