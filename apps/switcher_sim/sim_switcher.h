// A switcher as the engine sees it over its link: it answers pings, sends its crosspoint map
// when asked, applies the commands it receives and reports what changed, and records every
// unit it receives. Only the frame format and checksum are shared with the engine; everything
// about being a switcher lives here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "chaos.h"

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace tarvo::sim {

// Frames the switcher sends (pure).
QByteArray MapFrame(const std::vector<std::vector<int>>& sources, int first, int count);
QByteArray TakeReportFrame(int command, int source, int output);
QByteArray StateFrame(int kind, const std::vector<std::pair<int, int>>& entries);
QByteArray IdentRequestFrame();
QByteArray IdentAnswerFrame();
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
        // Never speak first: no greeting (0xF4 or 0xF1) when the engine connects.
        bool quiet = false;
        // How takes are reported: every one as a plain take (command 4), each with the command
        // it came with (a priority take as 5), or not at all (carried out all the same).
        enum class TakeReports { Plain, AsSent, None } takeReports = TakeReports::Plain;
        // The map request answered in frames of this many outputs, the highest first, a second
        // apart (0: the whole map in one frame).
        int mapPieces = 0;
        // Chaos is off unless asked for (at start, or with the control line "chaos on").
        bool chaosAtStart = false;
        ChaosOptions chaos;
    };
    SimSwitcher(const Options& options, std::FILE* out);
    ~SimSwitcher() override;

    bool start(QString* error);
    quint16 port() const;
    // Carries out one control line and returns its answer ("OK ..." or "ERR ...").
    QString control(const QString& line);

    const std::vector<std::vector<int>>& crosspoints() const { return map_; }
    // Carries out one chaos step now (the plan's steps come through here too).
    void runChaos(const ChaosStep& step);

  signals:
    void quitRequested();

  private:
    void onNewConnection();
    void onData(QTcpSocket* client);
    void onUnit(QTcpSocket* client, uint8_t type, const QByteArray& frame);
    void applyCommand(const QByteArray& frame);
    void send(QTcpSocket* client, const QByteArray& bytes);
    void sendMap(QTcpSocket* client);
    void flood(const QByteArray& pattern, int ms);
    void feedFlood(QTcpSocket* client);
    void broadcast(const QByteArray& bytes);
    void setState(int kind, int number, int state);
    void print(const QString& line);

    // Chaos: one step at a time from the plan; silence and slow reading last a while.
    void chaosOn(std::optional<uint32_t> seed);
    void chaosOff();
    void scheduleChaos();
    void closeClients(bool reset);
    void mute(int ms);
    void pauseReading(int ms);
    void resumeReading();

    Options options_;
    std::FILE* out_;
    QTcpServer* server_;
    std::vector<QTcpSocket*> clients_;
    QHash<QTcpSocket*, QByteArray> rx_;
    std::vector<std::vector<int>> map_;  // 0-based sources per 0-based output
    std::vector<int> optos_;
    std::vector<int> relays_;
    bool silent_ = false;
    bool ignoreTakes_ = false;  // takes from the engine are recorded, not carried out
    bool absent_ = false;  // the server is up but its switcher is not: pings get 0xF1

    std::unique_ptr<ChaosPlan> plan_;
    ChaosStep nextStep_;
    QTimer* chaosTimer_;
    QTimer* muteTimer_;
    QTimer* pauseTimer_;
    bool muted_ = false;   // chaos silence: nothing at all goes out
    bool paused_ = false;  // chaos slow reading: what the engine sends stays unread
    QHash<QTcpSocket*, long long> floodOwed_;  // identity answers still expected from a flood
    long long floodAnswered_ = 0;
    std::map<QString, int> chaosCounts_;
    QByteArray floodChunk_;  // written over and over while a flood lasts
    long long floodSent_ = 0;
    QTimer* floodTimer_;
};

}  // namespace tarvo::sim
