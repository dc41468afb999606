// A switcher as the engine sees it over its link: it answers pings, sends its crosspoint map
// when asked, applies the commands it receives and reports what changed, and records every
// unit it receives. Only the frame format and checksum are shared with the engine; everything
// about being a switcher lives here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace tarvo::sim {

// Frames the switcher sends (pure).
QByteArray MapFrame(const std::vector<std::vector<int>>& sources, int first, int count);
QByteArray TakeReportFrame(int command, int source, int output);
QByteArray StateFrame(int kind, const std::vector<std::pair<int, int>>& entries);
QByteArray IdentRequestFrame();
QString Hex(const QByteArray& bytes);
// Parses "F5 0A ..." (blanks optional between pairs); empty on a bad digit.
std::optional<QByteArray> ParseHex(const QString& text);

class SimSwitcher : public QObject {
    Q_OBJECT
  public:
    struct Options {
        QHostAddress listen = QHostAddress::LocalHost;
        quint16 port = 1250;
        int outputs = 64;
        int sources = 64;
        int optos = 64;
        int relays = 64;
        bool printPings = true;
    };
    SimSwitcher(const Options& options, std::FILE* out);
    ~SimSwitcher() override;

    bool start(QString* error);
    quint16 port() const;
    // Carries out one control line and returns its answer ("OK ..." or "ERR ...").
    QString control(const QString& line);

    const std::vector<std::vector<int>>& crosspoints() const { return map_; }

  signals:
    void quitRequested();

  private:
    void onNewConnection();
    void onData(QTcpSocket* client);
    void onUnit(QTcpSocket* client, uint8_t type, const QByteArray& frame);
    void applyCommand(const QByteArray& frame);
    void send(QTcpSocket* client, const QByteArray& bytes);
    void broadcast(const QByteArray& bytes);
    void setState(int kind, int number, int state);
    void print(const QString& line);

    Options options_;
    std::FILE* out_;
    QTcpServer* server_;
    std::vector<QTcpSocket*> clients_;
    QHash<QTcpSocket*, QByteArray> rx_;
    std::vector<std::vector<int>> map_;  // 0-based sources per 0-based output
    std::vector<int> optos_;
    std::vector<int> relays_;
    bool silent_ = false;
    bool absent_ = false;  // the server is up but its switcher is not: pings get 0xF1
};

}  // namespace tarvo::sim
