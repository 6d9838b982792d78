#pragma once

// Report lines written short: "r=ERROR a=1 of=2 t=08:01 why=no_reply_to_line_5"
// is one record, ';' between records. Every field has a default; '_' in a
// value is a space. A first attempt (a=1) takes the next board number unless
// board= is given, a later one keeps its board's. "LINE:text" is a line
// written as it stands, "LONG" a line over the reader's limit.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

inline QByteArray reportLines(const QString &records)
{
    QByteArray out;
    int board = 0;
    for (const QString &item : records.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString text = item.trimmed();
        if (text.startsWith(QLatin1String("LINE:"))) {
            out += text.mid(5).toUtf8() + '\n';
            continue;
        }
        if (text == QLatin1String("LONG")) {
            out += QByteArray(1 << 21, 'x') + '\n';
            continue;
        }
        QMap<QString, QString> f{{"st", "line-1"},  {"host", "10.0.0.7"}, {"port", "111"},
                                 {"a", "1"},        {"of", "1"},          {"r", "END"},
                                 {"t", "08:00:00"}, {"s", "30"},          {"phase", "done"},
                                 {"sha", "ab12"},   {"inst", "true"},     {"day", "2025-03-01"}};
        for (const QString &pair : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            f[pair.section(QLatin1Char('='), 0, 0)] =
                pair.section(QLatin1Char('='), 1).replace(QLatin1Char('_'), QLatin1Char(' '));
        if (!f.contains("board"))
            f["board"] = QString::number(f["a"] == "1" ? ++board : board);
        const QString start = f["day"] + 'T' + (f["t"].size() == 5 ? f["t"] + ":00" : f["t"]) + 'Z';
        QJsonObject o{{"schemaVersion", 1},
                      {"station", f["st"]},
                      {"host", f["host"]},
                      {"port", f["port"].toInt()},
                      {"board", f["board"].toInt()},
                      {"attempt", f["a"].toInt()},
                      {"maxAttempts", f["of"].toInt()},
                      {"result", f["r"]},
                      {"phase", f["r"] == "END" ? "done" : f["phase"]},
                      {"start", start},
                      {"seconds", f["s"].toDouble()},
                      {"installed", f["inst"] == "true" && f["r"] == "END"},
                      {"imageSha256", f["sha"]},
                      {"image", "fw.hex"},
                      {"reason", f.value("why")},
                      {"dryRun", f["r"] == "READY"}};
        if (f["board"] == "0")
            o.remove("board");
        if (f.contains("mac"))
            o.insert("mac", f["mac"]);
        out += QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    return out;
}
