#pragma once

// What the simulator, link and end-to-end tests share: Intel HEX records with
// their checksums, and a plain UDP socket on loopback that plays a device or a
// stranger by hand.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace corvanel::testing {

inline QByteArray hexRecord(quint8 type, quint16 offset, const QByteArray &data,
                            char startCode = ':')
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(offset >> 8)).append(char(offset & 0xFF));
    bytes.append(char(type)).append(data);
    quint8 sum = 0;
    for (const char c : bytes)
        sum = quint8(sum + quint8(c));
    bytes.append(char(quint8(0x100 - sum)));
    return startCode + bytes.toHex().toUpper();
}

// `dataRecords` records of 16 bytes from address 0, then the end record.
inline QList<QByteArray> smallImage(int dataRecords)
{
    QList<QByteArray> lines;
    for (int i = 0; i < dataRecords; ++i) {
        QByteArray data(16, Qt::Uninitialized);
        for (int j = 0; j < data.size(); ++j)
            data[j] = char(i * 16 + j);
        lines.append(hexRecord(0x00, quint16(i * 16), data));
    }
    lines.append(hexRecord(0x01, 0, {}));
    return lines;
}

// A line as the tool sends it.
inline QByteArray bootMessage(const QByteArray &line)
{
    return "BOOT" + line + "\r\n";
}

// A plain socket on a loopback address that keeps what it receives.
struct LoopbackPeer {
    explicit LoopbackPeer(const char *address = "127.0.0.1")
    {
        bound = socket.bind(QHostAddress(QString::fromLatin1(address)), 0);
    }
    quint16 port() const { return socket.localPort(); }
    void sendTo(quint16 port, const QByteArray &data)
    {
        socket.writeDatagram(data, QHostAddress::LocalHost, port);
    }
    // Drains the socket; true once `count` datagrams have come.
    bool has(int count)
    {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            received.append(datagram.data());
            senderPorts.append(quint16(datagram.senderPort()));
        }
        return received.size() >= count;
    }

    QUdpSocket socket;
    bool bound = false;
    QList<QByteArray> received;
    QList<quint16> senderPorts;
};

} // namespace corvanel::testing
