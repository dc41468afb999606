// Messages to other equipment over TCP, UDP and the serial port, and the source select.
#pragma once

#include <QObject>

namespace tarvo {

class Engine;
struct AutomationEvent;

// The message socket and the serial port, used by one message at a time.
class PeerPorts : public QObject {
    Q_OBJECT
  public:
    explicit PeerPorts(Engine& e);
    ~PeerPorts() override;

  private:
    Engine& e_;
};

bool SendEventMessage(Engine& e, const AutomationEvent& ev);
void SendSourceSelect(Engine& e, const AutomationEvent& ev);

}  // namespace tarvo
