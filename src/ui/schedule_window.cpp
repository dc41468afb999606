#include "ui/schedule_window.h"

#include <map>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "engine/engine.h"
#include "scheduler/schedule_check.h"
#include "scheduler/schedule_preview.h"
#include "scheduler/time_arith.h"

namespace tarvo {

namespace {

constexpr int kAtRole = Qt::UserRole;  // a timed row's moment, UTC milliseconds
const QColor kProblemColour(192, 0, 0);
const QColor kPassedColour(128, 128, 128);

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

using Problems = std::map<int16_t, QStringList>;

QStringList rowColumns(const PreviewRow& row, const QString& note, const Problems& problems) {
    const auto found = problems.find(row.number);
    return {row.title, row.actions.join(QStringLiteral("; ")), row.conditions.join(QStringLiteral(", ")),
            note, found == problems.end() ? QString() : found->second.join(QStringLiteral("; "))};
}

// The check's problem stands out, and shows whole in the tip.
QTreeWidgetItem* rowItem(const QStringList& columns) {
    auto* item = new QTreeWidgetItem(columns);
    const int problem = static_cast<int>(columns.size()) - 1;
    if (!columns.last().isEmpty()) {
        item->setForeground(problem, kProblemColour);
        item->setToolTip(problem, columns.last());
    }
    return item;
}

void fitColumns(QTreeWidget* list) {
    for (int c = 0; c + 1 < list->columnCount(); ++c) {
        list->resizeColumnToContents(c);
        if (list->columnWidth(c) > kScheduleColumnMax) list->setColumnWidth(c, kScheduleColumnMax);
    }
}

bool matches(const QTreeWidgetItem* item, const QString& text) {
    for (int c = 0; c < item->columnCount(); ++c)
        if (item->text(c).contains(text, Qt::CaseInsensitive)) return true;
    return false;
}

}  // namespace

ScheduleWindow::ScheduleWindow(Engine& e, QWidget* parent) : QDialog(parent), e_(e) {
    setObjectName(QStringLiteral("frmSchedule"));
    setWindowTitle(QStringLiteral("Schedule"));
    auto* layout = new QVBoxLayout(this);

    auto* head = new QHBoxLayout;
    lblRange_ = new QLabel(this);
    lblRange_->setObjectName(QStringLiteral("lblRange"));
    txtFilter_ = new QLineEdit(this);
    txtFilter_->setObjectName(QStringLiteral("txtFilter"));
    txtFilter_->setPlaceholderText(QStringLiteral("title, action, condition or problem"));
    txtFilter_->setClearButtonEnabled(true);
    auto* filterLabel = new QLabel(QStringLiteral("&Filter"), this);
    filterLabel->setBuddy(txtFilter_);
    head->addWidget(lblRange_, 1);
    head->addWidget(filterLabel);
    head->addWidget(txtFilter_);
    layout->addLayout(head);

    lvTimed_ = previewList(this, "lvTimed",
                           {QStringLiteral("Time"), QStringLiteral("Title"), QStringLiteral("Does"),
                            QStringLiteral("Conditions"), QStringLiteral("Note"), QStringLiteral("Problem")});
    layout->addWidget(lvTimed_, 3);

    auto* triggered = new QLabel(QStringLiteral("Triggered Events"), this);
    triggered->setObjectName(QStringLiteral("lblTriggered"));
    layout->addWidget(triggered);
    lvTriggered_ = previewList(this, "lvTriggered",
                               {QStringLiteral("Trigger / Day"), QStringLiteral("Title"), QStringLiteral("Does"),
                                QStringLiteral("Conditions"), QStringLiteral("Note"), QStringLiteral("Problem")});
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
    connect(txtFilter_, &QLineEdit::textChanged, this, &ScheduleWindow::filter);

    passing_ = new QTimer(this);
    passing_->setInterval(1000);
    connect(passing_, &QTimer::timeout, this, &ScheduleWindow::markPassed);

    resize(1100, 620);
    refresh();
}

void ScheduleWindow::refresh() {
    const SchedulePreview p =
        PreviewSchedule(e_.scheduler.Events, e_.clock.now(), kScheduleWindowDays, e_.clock.zone());
    const QString moment = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    lblRange_->setText(
        QStringLiteral("Timed Events from %1 to %2")
            .arg(LocalMoment(p, p.from).toString(moment), LocalMoment(p, p.to).toString(moment)));
    QString folder = e_.AppFolder;
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    Problems problems;
    for (const RowProblem& problem : CheckSchedule(e_.scheduler.Events, folder))
        problems[problem.number] << problem.text;

    lvTimed_->clear();
    QTreeWidgetItem* day = nullptr;
    QDate dayDate;
    for (const TimedEntry& entry : p.timed) {
        const PreviewRow& row = p.rows.at(static_cast<std::size_t>(entry.row));
        const QDateTime local = LocalMoment(p, entry.at);
        if (!day || local.date() != dayDate) {
            dayDate = local.date();
            day = new QTreeWidgetItem(
                QStringList{DayNameOf(DayIndexOf(dayDate)) + QLatin1Char(' ') + dayDate.toString(Qt::ISODate)});
            lvTimed_->addTopLevelItem(day);
            day->setFirstColumnSpanned(true);
            QFont bold = day->font(0);
            bold.setBold(true);
            day->setFont(0, bold);
        }
        QTreeWidgetItem* item =
            rowItem(QStringList{local.toString(QStringLiteral("HH:mm:ss"))} + rowColumns(row, EntryNote(p, entry), problems));
        item->setData(0, kAtRole, entry.at.toMSecsSinceEpoch());
        day->addChild(item);
    }
    lvTimed_->expandAll();

    lvTriggered_->clear();
    for (const TriggerGroup& group : p.triggered) {
        auto* head = new QTreeWidgetItem(QStringList{group.trigger});
        for (int index : group.rows) {
            const PreviewRow& row = p.rows.at(static_cast<std::size_t>(index));
            head->addChild(rowItem(QStringList{DayNameOf(row.day)} + rowColumns(row, TriggeredNote(row), problems)));
        }
        lvTriggered_->addTopLevelItem(head);
    }
    lvTriggered_->expandAll();
    fitColumns(lvTimed_);
    fitColumns(lvTriggered_);
    markPassed();
    filter(txtFilter_->text());
}

void ScheduleWindow::markPassed() {
    const qint64 now = e_.clock.now().toMSecsSinceEpoch();
    for (int d = 0; d < lvTimed_->topLevelItemCount(); ++d) {
        QTreeWidgetItem* day = lvTimed_->topLevelItem(d);
        for (int r = 0; r < day->childCount(); ++r) {
            QTreeWidgetItem* item = day->child(r);
            if (item->data(0, kAtRole).toLongLong() > now || item->toolTip(0) == QLatin1String("passed"))
                continue;
            for (int c = 0; c + 1 < item->columnCount(); ++c) item->setForeground(c, kPassedColour);
            item->setToolTip(0, QStringLiteral("passed"));
        }
    }
}

void ScheduleWindow::filter(const QString& text) {
    for (QTreeWidget* list : {lvTimed_, lvTriggered_}) {
        for (int g = 0; g < list->topLevelItemCount(); ++g) {
            QTreeWidgetItem* group = list->topLevelItem(g);
            // A trigger that matches shows all it starts; a day is not something to search for.
            const bool all = text.isEmpty() || (list == lvTriggered_ && matches(group, text));
            int shown = 0;
            for (int r = 0; r < group->childCount(); ++r) {
                const bool show = all || matches(group->child(r), text);
                group->child(r)->setHidden(!show);
                shown += show;
            }
            group->setHidden(shown == 0 && !text.isEmpty());
        }
    }
}

void ScheduleWindow::showEvent(QShowEvent* event) {
    markPassed();
    passing_->start();
    QDialog::showEvent(event);
}

void ScheduleWindow::hideEvent(QHideEvent* event) {
    passing_->stop();
    QDialog::hideEvent(event);
}

}  // namespace tarvo
