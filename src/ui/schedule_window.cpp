#include "ui/schedule_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "engine/engine.h"
#include "scheduler/schedule_preview.h"
#include "scheduler/time_arith.h"

namespace tarvo {

namespace {

QTreeWidget* previewList(QWidget* parent, const char* name, const QStringList& headers) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QLatin1String(name));
    list->setHeaderLabels(headers);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->header()->setStretchLastSection(true);
    return list;
}

QStringList rowColumns(const PreviewRow& row, const QString& note) {
    return {row.title, row.actions.join(QStringLiteral("; ")),
            row.conditions.join(QStringLiteral(", ")), note};
}

}  // namespace

ScheduleWindow::ScheduleWindow(Engine& e, QWidget* parent) : QDialog(parent), e_(e) {
    setObjectName(QStringLiteral("frmSchedule"));
    setWindowTitle(QStringLiteral("Schedule"));
    auto* layout = new QVBoxLayout(this);

    lblRange_ = new QLabel(this);
    lblRange_->setObjectName(QStringLiteral("lblRange"));
    layout->addWidget(lblRange_);
    lvTimed_ = previewList(this, "lvTimed",
                           {QStringLiteral("Date"), QStringLiteral("Day"), QStringLiteral("Time"),
                            QStringLiteral("Title"), QStringLiteral("Does"),
                            QStringLiteral("Conditions"), QStringLiteral("Note")});
    lvTimed_->setRootIsDecorated(false);
    layout->addWidget(lvTimed_, 3);

    auto* triggered = new QLabel(QStringLiteral("Triggered Events"), this);
    triggered->setObjectName(QStringLiteral("lblTriggered"));
    layout->addWidget(triggered);
    lvTriggered_ =
        previewList(this, "lvTriggered",
                    {QStringLiteral("Trigger / Day"), QStringLiteral("Title"),
                     QStringLiteral("Does"), QStringLiteral("Conditions"), QStringLiteral("Note")});
    layout->addWidget(lvTriggered_, 2);

    auto* buttons = new QHBoxLayout;
    auto* refreshButton = new QPushButton(QStringLiteral("&Refresh"), this);
    refreshButton->setObjectName(QStringLiteral("cmdRefresh"));
    auto* close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("cmdClose"));
    buttons->addStretch(1);
    buttons->addWidget(refreshButton);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(refreshButton, &QPushButton::clicked, this, &ScheduleWindow::refresh);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    resize(900, 560);
    refresh();
}

void ScheduleWindow::refresh() {
    const SchedulePreview p =
        PreviewSchedule(e_.scheduler.Events, e_.clock.now(), kScheduleWindowDays, e_.clock.zone());
    const QString moment = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    lblRange_->setText(
        QStringLiteral("Timed Events from %1 to %2")
            .arg(LocalMoment(p, p.from).toString(moment), LocalMoment(p, p.to).toString(moment)));

    lvTimed_->clear();
    QList<QTreeWidgetItem*> items;
    for (const TimedEntry& entry : p.timed) {
        const PreviewRow& row = p.rows.at(static_cast<std::size_t>(entry.row));
        const QDateTime local = LocalMoment(p, entry.at);
        items << new QTreeWidgetItem(QStringList{local.toString(QStringLiteral("yyyy-MM-dd")),
                                                 DayNameOf(DayIndexOf(local.date())),
                                                 local.toString(QStringLiteral("HH:mm:ss"))} +
                                     rowColumns(row, EntryNote(p, entry)));
    }
    lvTimed_->addTopLevelItems(items);

    lvTriggered_->clear();
    for (const TriggerGroup& group : p.triggered) {
        auto* head = new QTreeWidgetItem(QStringList{group.trigger});
        for (int index : group.rows) {
            const PreviewRow& row = p.rows.at(static_cast<std::size_t>(index));
            head->addChild(new QTreeWidgetItem(QStringList{DayNameOf(row.day)} +
                                               rowColumns(row, TriggeredNote(row))));
        }
        lvTriggered_->addTopLevelItem(head);
    }
    lvTriggered_->expandAll();
}

}  // namespace tarvo
