// The TCP links to the master (0) and slave (1) switcher.
#pragma once

#include <QObject>

namespace tarvo {

class Engine;

// Owns the two switcher sockets and turns their signals into the link procedures below.
class SwitcherLinks : public QObject {
    Q_OBJECT
public:
    explicit SwitcherLinks(Engine& e);
    ~SwitcherLinks() override;

private:
    Engine& e_;
};

void ConnectSwitcher(Engine& e);
void LoadSlaveSocket(Engine& e);
void ConnectSlave(Engine& e);
void CloseSwitcherLink(Engine& e);
void CloseSlaveLink(Engine& e);

}  // namespace tarvo
