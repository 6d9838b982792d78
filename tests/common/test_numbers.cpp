// Whole numbers and IPv4 addresses as typed into options, hosts files and
// port boxes: each row a text in, a value or a refusal out.

#include "common/ipv4_address.h"
#include "common/numbers.h"

#include <QTest>

#include <limits>

using namespace corvanel;

Q_DECLARE_METATYPE(corvanel::NumberBase)
Q_DECLARE_METATYPE(corvanel::HostText::Kind)

namespace {

constexpr quint64 kMax = std::numeric_limits<quint64>::max();

} // namespace

class TestNumbers : public QObject {
    Q_OBJECT

private slots:
    void wholeNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<NumberBase>("base");
        QTest::addColumn<quint64>("highest");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<quint64>("value");
        const auto take = [](const char *row, const char *text, NumberBase base, quint64 highest,
                             quint64 value) {
            QTest::newRow(row) << QString::fromUtf8(text) << base << highest << true << value;
        };
        const auto refuse = [](const char *row, const char *text, NumberBase base,
                               quint64 highest) {
            QTest::newRow(row) << QString::fromUtf8(text) << base << highest << false << quint64(0);
        };
        constexpr auto dec = NumberBase::Decimal;
        constexpr auto hex = NumberBase::DecimalOrHex;
        take("64-bit max", "18446744073709551615", dec, kMax, kMax);
        refuse("64-bit max + 1", "18446744073709551616", dec, kMax);
        take("0x7fff...", "0x7fffffffffffffff", hex, kMax, 0x7fffffffffffffffULL);
        take("0xffff...", "0xFFFFFFFFFFFFFFFF", hex, kMax, kMax);
        refuse("0x1 and 16 zeros", "0x10000000000000000", hex, kMax);
        refuse("an address that once wrapped to 0x08000000", "0x10000000008000000", hex,
               0xFFFFFFFF);
        refuse("huge digit string", "999999999999999999999999999999999999", dec, kMax);
        take("leading zeros, more than 20 digits", "0000000000000000000000042", dec, kMax, 42);
        take("hex leading zeros", "0x0008000000", hex, 0xFFFFFFFF, 0x08000000);
        take("zero", "0", dec, 0, 0);
        refuse("above the highest", "65536", dec, 65535);
        refuse("plus sign", "+1", dec, kMax);
        refuse("minus zero", "-0", dec, kMax);
        refuse("minus after 0x", "0x-1", hex, kMax);
        refuse("leading blank", " 1", dec, kMax);
        refuse("trailing blank", "1 ", dec, kMax);
        refuse("trailing letter", "1x", dec, kMax);
        refuse("empty", "", dec, kMax);
        refuse("0x without digits", "0x", hex, kMax);
        refuse("hex where only decimal is taken", "0x10", dec, kMax);
        refuse("fraction", "1.0", dec, kMax);
        refuse("exponent", "1e3", dec, kMax);
        refuse("a digit outside ASCII", "\u0663", dec, kMax); // ARABIC-INDIC DIGIT THREE
    }

    void wholeNumbers()
    {
        QFETCH(QString, text);
        QFETCH(NumberBase, base);
        QFETCH(quint64, highest);
        QFETCH(bool, taken);
        QFETCH(quint64, value);
        const auto parsed = parseWholeNumber(text, 0, highest, base);
        QCOMPARE(parsed.has_value(), taken);
        if (taken)
            QCOMPARE(*parsed, value);
    }

    void lowestIsKept() { QVERIFY(!parseWholeNumber(u"0", 1, 65535)); }

    void hostTexts_data()
    {
        using Kind = HostText::Kind;
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("expected"); // the address, or words of the refusal
        QTest::newRow("dotted") << "127.0.0.1" << Kind::Address << "127.0.0.1";
        QTest::newRow("highest") << "255.255.255.255" << Kind::Address << "255.255.255.255";
        QTest::newRow("zero") << "0.0.0.0" << Kind::Address << "0.0.0.0";
        QTest::newRow("name") << "localhost" << Kind::Name << "";
        QTest::newRow("name with digits, dots, '-' and '_'")
            << "board-7.line_3" << Kind::Name << "";
        QTest::newRow("hex letters alone are a name") << "deadbeef" << Kind::Name << "";
        const char *numeric[] = {"127.0.0.010", "0177.0.0.1",  "0x7f.0.0.1", "2130706433",
                                 "127.1",       "127.0.0.256", "1.2.3.4.5",  "127.0.0.1.",
                                 ".",           "0x",          "00.0.0.0"};
        for (const char *text : numeric) {
            QTest::newRow(text) << QString::fromLatin1(text) << Kind::Refused
                                << "not an IPv4 address";
        }
        QTest::newRow("blank inside") << "127.0.0.1 " << Kind::Refused << "not a host name";
        QTest::newRow("not ASCII") << "b\u00f6rd" << Kind::Refused << "not a host name";
        QTest::newRow("empty") << "" << Kind::Refused << "no host name";
    }

    void hostTexts()
    {
        QFETCH(QString, text);
        QFETCH(HostText::Kind, kind);
        QFETCH(QString, expected);
        const HostText read = readHostText(text);
        QCOMPARE(read.kind, kind);
        if (kind == HostText::Kind::Address)
            QCOMPARE(ipv4Text(read.address), expected);
        else
            QVERIFY2(read.problem.contains(expected), qPrintable(read.problem));
    }

    void secondsTakeFractions()
    {
        using namespace std::chrono_literals;
        QCOMPARE(parseSeconds(u"0.3"), std::optional(300ms));
        QCOMPARE(parseSeconds(u"30"), std::optional(30000ms));
        QCOMPARE(parseSeconds(u"0.0001"), std::optional(1ms)); // never zero
        for (const char16_t *bad : {u"0", u"-1", u"abc", u"", u"nan", u"inf", u"86401"})
            QVERIFY(!parseSeconds(bad));
    }
};

QTEST_GUILESS_MAIN(TestNumbers)
#include "test_numbers.moc"
