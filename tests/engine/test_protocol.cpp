#include "engine/line_source.h"
#include "engine/protocol.h"

#include <QtTest>

using namespace corvanel;
using protocol::ReplyKind;

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void messagesAreExactBytes()
    {
        QCOMPARE(QByteArray(protocol::kInquiry.data(), protocol::kInquiry.size()),
                 QByteArray::fromHex("424f4f54690d0a"));
        QCOMPARE(QByteArray(protocol::kInstall.data(), protocol::kInstall.size()),
                 QByteArray::fromHex("424f4f54670d0a"));

        const QByteArray record = ":10010000214601360121470136007EFE09D2190140";
        QCOMPARE(protocol::downloadLineMessage(record), "BOOT" + record + "\r\n");
        const QByteArray verify = protocol::verifyLineMessage(record);
        QCOMPARE(verify, "BOOT#10010000214601360121470136007EFE09D2190140\r\n");
        QCOMPARE(verify.size(), record.size() + 6);
    }

    void verifyReplacesEveryColonAndNothingElse()
    {
        // Every ':' goes, not just the first; other bytes (lower-case hex,
        // NUL, high bytes) pass unchanged, and the prefix keeps no '#'.
        const QByteArray line("a:b::\x00\xff:", 8);
        QCOMPARE(protocol::verifyLineMessage(line), QByteArray("BOOTa#b##\x00\xff#\r\n", 14));
        QCOMPARE(protocol::downloadLineMessage(line), QByteArray("BOOTa:b::\x00\xff:\r\n", 14));
        QCOMPARE(protocol::downloadLineMessage({}), QByteArray("BOOT\r\n"));
    }

    void trimRemovesOnlySpaces()
    {
        QCOMPARE(protocol::trimTrailingSpaces("OK  "), QByteArrayView("OK"));
        QCOMPARE(protocol::trimTrailingSpaces("OK\r\n"), QByteArrayView("OK\r\n"));
        QCOMPARE(protocol::trimTrailingSpaces("OK \t "), QByteArrayView("OK \t"));
        QCOMPARE(protocol::trimTrailingSpaces("    "), QByteArrayView(""));
        QCOMPARE(protocol::trimTrailingSpaces(""), QByteArrayView(""));
    }

    void classification_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("imageLoaded");
        QTest::addColumn<int>("kind");
        auto row = [](const char *name, QByteArray reply, bool loaded, ReplyKind kind) {
            QTest::newRow(name) << reply << loaded << int(kind);
        };
        row("version with image", "VER=1.2", true, ReplyKind::Version);
        row("version without image falls through", "VER=1.2", false, ReplyKind::Other);
        row("version without image, ok inside", "VER=OK", false, ReplyKind::Ok);
        row("version beats error", "VER= ERROR", true, ReplyKind::Version);
        row("error beats ok", "OK ERROR", false, ReplyKind::Error);
        row("error beats download", "DOWNLOAD ERROR", true, ReplyKind::Error);
        row("download beats ok", "DOWNLOAD OK", true, ReplyKind::PassEnd);
        row("ok anywhere", "xxOKxx", true, ReplyKind::Ok);
        row("lower case ok", "ok", true, ReplyKind::Other);
        row("lower case download", "download", true, ReplyKind::Other);
        row("lower case error", "error", true, ReplyKind::Other);
        row("lower case ver", "ver=1", true, ReplyKind::Other);
        row("split token", "O K", true, ReplyKind::Other);
        row("empty", "", true, ReplyKind::Other);
        row("nul inside token stream", QByteArray("\0OK\0", 4), true, ReplyKind::Ok);
    }
    void classification()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, imageLoaded);
        QFETCH(int, kind);
        QCOMPARE(int(protocol::classifyReply(protocol::trimTrailingSpaces(reply), imageLoaded)),
                 kind);
    }

    void lineTableBounds()
    {
        TextLines table;
        QVERIFY(table.append(":00000001FF"));
        QVERIFY(table.append(""));
        QCOMPARE(table.count(), 2);
        QCOMPARE(table.line(1), QByteArrayView(":00000001FF"));
        QCOMPARE(table.line(2), QByteArrayView(""));
        // Slot 0 and every slot beyond the image read as empty, never outside.
        QVERIFY(table.line(0).isEmpty());
        QVERIFY(table.line(3).isEmpty());
        QVERIFY(table.line(-1).isEmpty());
        QVERIFY(table.line(9001).isEmpty());

        // The limit is the caller's.
        constexpr int kLimit = 9000;
        TextLines full(kLimit);
        for (int i = 0; i < kLimit; ++i)
            QVERIFY(full.append(QByteArray::number(i)));
        QVERIFY(!full.append("one too many"));
        QCOMPARE(full.count(), kLimit);
        QCOMPARE(full.line(kLimit), QByteArrayView("8999"));
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "test_protocol.moc"
