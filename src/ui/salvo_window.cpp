#include "salvo_window.h"

#include "core/console_actions.h"
#include "core/server.h"
#include "ui/messages.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QVBoxLayout>

namespace marlin {

namespace {

QString levelsText(const std::array<bool, kTakeLevelCount> &levels)
{
    QString text;
    for (int k = 0; k < kTakeLevelCount; ++k) {
        if (levels[std::size_t(k)])
            text += QChar(u'0' + k);
    }
    return text;
}

QString pointName(const QString &description, int number)
{
    return description.isEmpty() ? QString::number(number) : description;
}

QPushButton *button(const QString &text, const QString &name)
{
    auto *b = new QPushButton(text);
    b->setObjectName(name);
    b->setAccessibleName(text);
    return b;
}

} // namespace

frmSalvos::frmSalvos(Server &server, QWidget *parent) : QWidget(parent), server(server)
{
    setObjectName(QStringLiteral("frmSalvos"));
    setWindowTitle(QStringLiteral("Salvos"));
    setAttribute(Qt::WA_DeleteOnClose);

    lstSalvos = new QListWidget;
    lstSalvos->setObjectName(QStringLiteral("lstSalvos"));
    lstSalvos->setAccessibleName(QStringLiteral("Salvos"));
    tblTakes = new QTableWidget(0, 4);
    tblTakes->setObjectName(QStringLiteral("tblTakes"));
    tblTakes->setAccessibleName(QStringLiteral("Takes of the salvo"));
    tblTakes->setHorizontalHeaderLabels(
        {QStringLiteral("Router"), QStringLiteral("Destination"), QStringLiteral("Source"), QStringLiteral("Levels")});
    tblTakes->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblTakes->horizontalHeader()->setStretchLastSection(true);
    tblTakes->verticalHeader()->hide();
    txtComment = new QLineEdit;
    txtComment->setObjectName(QStringLiteral("txtComment"));
    txtComment->setAccessibleName(QStringLiteral("Comment"));
    txtComment->setPlaceholderText(QStringLiteral("Comment (blank: the salvo's own)"));
    txtComment->setMaxLength(kSalvoCommentLimit);

    cmdFire = button(QStringLiteral("Fire"), QStringLiteral("cmdFire"));
    cmdNew = button(QStringLiteral("New"), QStringLiteral("cmdNew"));
    cmdEdit = button(QStringLiteral("Edit"), QStringLiteral("cmdEdit"));
    cmdDelete = button(QStringLiteral("Delete"), QStringLiteral("cmdDelete"));
    cmdFromCurrent = button(QStringLiteral("New from current"), QStringLiteral("cmdFromCurrent"));

    auto *buttons = new QHBoxLayout;
    for (QPushButton *b : {cmdFire, cmdNew, cmdEdit, cmdDelete, cmdFromCurrent})
        buttons->addWidget(b);
    auto *lists = new QHBoxLayout;
    lists->addWidget(lstSalvos, 1);
    lists->addWidget(tblTakes, 2);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(lists, 1);
    layout->addWidget(txtComment);
    layout->addLayout(buttons);

    connect(lstSalvos, &QListWidget::currentRowChanged, this, &frmSalvos::showTakes);
    connect(cmdFire, &QPushButton::clicked, this, &frmSalvos::confirmFire);
    connect(cmdNew, &QPushButton::clicked, this, [this] { openEditor({}, {}); });
    connect(cmdEdit, &QPushButton::clicked, this, [this] {
        if (const Salvo *salvo = chosen())
            openEditor(*salvo, salvo->name);
    });
    connect(cmdDelete, &QPushButton::clicked, this, &frmSalvos::deleteChosen);
    connect(cmdFromCurrent, &QPushButton::clicked, this, &frmSalvos::openFromCurrent);
    connect(&server, &Server::salvosChanged, this, &frmSalvos::refill);
    refill();
    resize(760, 420);
}

void frmSalvos::refill()
{
    const QString current = lstSalvos->currentItem() ? lstSalvos->currentItem()->data(Qt::UserRole).toString() : QString();
    lstSalvos->clear();
    for (const Salvo &salvo : server.salvos()) {
        auto *item = new QListWidgetItem(QStringLiteral("%1  (%2 takes)").arg(salvo.name).arg(salvo.takes.size()));
        item->setData(Qt::UserRole, salvo.name);
        lstSalvos->addItem(item);
        if (salvo.name == current)
            lstSalvos->setCurrentItem(item);
    }
    if (!lstSalvos->currentItem() && lstSalvos->count() > 0)
        lstSalvos->setCurrentRow(0);
    showTakes();
}

const Salvo *frmSalvos::chosen() const
{
    const QListWidgetItem *item = lstSalvos->currentItem();
    if (!item)
        return nullptr;
    for (const Salvo &salvo : server.salvos()) {
        if (salvo.name == item->data(Qt::UserRole).toString())
            return &salvo;
    }
    return nullptr;
}

void frmSalvos::showTakes()
{
    const Salvo *salvo = chosen();
    tblTakes->setRowCount(salvo ? int(salvo->takes.size()) : 0);
    if (!salvo)
        return;
    for (int row = 0; row < salvo->takes.size(); ++row) {
        const SalvoTake &take = salvo->takes[row];
        const RouterTable &table = server.routerTable(take.router);
        const auto point = [](const QString &description, int n) { return isPointNumber(n) ? pointName(description, n) : QString::number(n); };
        tblTakes->setItem(row, 0, new QTableWidgetItem(QStringLiteral("%1 %2").arg(take.router).arg(table.Name)));
        tblTakes->setItem(row, 1, new QTableWidgetItem(point(isPointNumber(take.destination) ? table.DestDescription[take.destination] : QString(), take.destination)));
        tblTakes->setItem(row, 2, new QTableWidgetItem(point(isPointNumber(take.source) ? table.SourceDescription[take.source] : QString(), take.source)));
        tblTakes->setItem(row, 3, new QTableWidgetItem(levelsText(take.levels)));
    }
}

QStringList frmSalvos::takeLines(const Server &server, const Salvo &salvo)
{
    QStringList lines;
    for (const SalvoTake &take : salvo.takes) {
        const RouterTable &table = server.routerTable(take.router);
        const QString destination = isPointNumber(take.destination) ? pointName(table.DestDescription[take.destination], take.destination) : QString::number(take.destination);
        const QString source = isPointNumber(take.source) ? pointName(table.SourceDescription[take.source], take.source) : QString::number(take.source);
        lines.append(QStringLiteral("%1: %2 <- %3").arg(table.Name, destination, source));
    }
    return lines;
}

void frmSalvos::confirmFire()
{
    const Salvo *salvo = chosen();
    if (!salvo)
        return;
    QMessageBox *box = openMessage(this, QMessageBox::Question, QStringLiteral("Fire Salvo"),
                                   QStringLiteral("Fire salvo %1? It switches:\n\n%2")
                                       .arg(salvo->name, takeLines(server, *salvo).join(QLatin1Char('\n'))),
                                   QMessageBox::Yes | QMessageBox::No);
    box->setAccessibleName(QStringLiteral("Fire Salvo"));
    const QString name = salvo->name;
    connect(box, &QMessageBox::finished, this, [this, box, name] {
        if (box->clickedButton() != box->button(QMessageBox::Yes))
            return;
        // The list may have changed while the question was open.
        if (!chosen() || chosen()->name != name)
            return;
        openMessage(this, QMessageBox::Information, QStringLiteral("Salvo Fired"), fireChosen());
    });
}

QString frmSalvos::fireChosen()
{
    const Salvo *salvo = chosen();
    if (!salvo)
        return {};
    const Server::SalvoFireOutcome outcome
        = server.fireSalvo(salvo->name, server.currentUser(), txtComment->text(), TakeOrigin::Console);
    switch (outcome.result) {
    case Server::SalvoFireResult::Done: break;
    case Server::SalvoFireResult::NotFound: return QStringLiteral("There is no such salvo any more.");
    case Server::SalvoFireResult::Standby: return standbyRefusalText();
    case Server::SalvoFireResult::NoPrivilege: return takeRefusalText(TakeRefusal::NoPrivilege);
    }
    QStringList lines{QStringLiteral("%1 of %2 takes sent.").arg(outcome.sent).arg(outcome.takes.size())};
    const QStringList what = takeLines(server, Salvo{{}, {}, [&] {
                                           QList<SalvoTake> takes;
                                           for (const SalvoTakeResult &t : outcome.takes)
                                               takes.append(t.take);
                                           return takes;
                                       }()});
    for (qsizetype k = 0; k < outcome.takes.size(); ++k) {
        const SalvoTakeResult &t = outcome.takes[k];
        QString result;
        if (t.result.refusal == TakeRefusal::Protected)
            result = protectRefusalText(t.result.protectedBy);
        else if (t.result.refusal != TakeRefusal::None)
            result = takeRefusalText(t.result.refusal);
        else
            result = t.linkDown ? QStringLiteral("sent (link down: queued)") : QStringLiteral("sent");
        lines.append(what[k] + QStringLiteral(": ") + result);
    }
    return lines.join(QLatin1Char('\n'));
}

void frmSalvos::openEditor(const Salvo &salvo, const QString &original)
{
    auto *editor = new frmSalvoEdit(server, salvo, original, this);
    editor->open();
}

void frmSalvos::openFromCurrent()
{
    auto *chooser = new frmSalvoFromCurrent(server, this);
    connect(chooser, &QDialog::accepted, this, [this, chooser] { openEditor(chooser->salvo(), {}); });
    chooser->open();
}

void frmSalvos::deleteChosen()
{
    const Salvo *salvo = chosen();
    if (!salvo)
        return;
    const QString name = salvo->name;
    QMessageBox *box = openMessage(this, QMessageBox::Question, QStringLiteral("Delete Salvo"),
                                   QStringLiteral("Delete salvo %1?").arg(name), QMessageBox::Yes | QMessageBox::No);
    connect(box, &QMessageBox::finished, this, [this, box, name] {
        if (box->clickedButton() != box->button(QMessageBox::Yes))
            return;
        const Server::SalvoEditOutcome outcome = server.deleteSalvo(name, server.currentUser());
        if (outcome.result == Server::SalvoEditResult::NoPrivilege)
            openMessage(this, QMessageBox::NoIcon, QStringLiteral("User Priveleges"), takeRefusalText(TakeRefusal::NoPrivilege));
        else if (outcome.result == Server::SalvoEditResult::NotSaved)
            openSaveFailure(this, QStringLiteral("salvo"), server.SalvoFile(), outcome.error, QStringLiteral("The salvo is kept."));
    });
}

frmSalvoEdit::frmSalvoEdit(Server &server, const Salvo &salvo, const QString &original, QWidget *parent)
    : QDialog(parent), server(server), original(original)
{
    setObjectName(QStringLiteral("frmSalvoEdit"));
    setWindowTitle(original.isEmpty() ? QStringLiteral("New Salvo") : QStringLiteral("Edit Salvo"));
    setAttribute(Qt::WA_DeleteOnClose);
    txtName = new QLineEdit(salvo.name);
    txtName->setObjectName(QStringLiteral("txtName"));
    txtName->setAccessibleName(QStringLiteral("Name"));
    txtName->setMaxLength(kSalvoNameLimit);
    txtComment = new QLineEdit(salvo.comment);
    txtComment->setObjectName(QStringLiteral("txtComment"));
    txtComment->setAccessibleName(QStringLiteral("Comment"));
    txtComment->setMaxLength(kSalvoCommentLimit);
    txtTakes = new QPlainTextEdit(takesText(salvo));
    txtTakes->setObjectName(QStringLiteral("txtTakes"));
    txtTakes->setAccessibleName(QStringLiteral("Takes"));
    txtTakes->setPlaceholderText(QStringLiteral("router destination source [levels], one take a line, e.g. 1 4 9 01"));
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Name"), txtName);
    form->addRow(QStringLiteral("Comment"), txtComment);
    form->addRow(QStringLiteral("Takes"), txtTakes);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
    cmdSave = box->button(QDialogButtonBox::Save);
    cmdSave->setAccessibleName(QStringLiteral("Save"));
    box->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("One take a line: router destination source [levels 0..7, all when left out]")));
    layout->addWidget(box);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(box, &QDialogButtonBox::accepted, this, [this] {
        const QString refusal = save();
        if (refusal.isEmpty())
            accept();
        else
            openMessage(this, QMessageBox::NoIcon, QStringLiteral("Salvo Not Saved"), refusal);
    });
    resize(520, 400);
}

QString frmSalvoEdit::takesText(const Salvo &salvo)
{
    QStringList lines;
    for (const SalvoTake &take : salvo.takes)
        lines.append(QStringLiteral("%1 %2 %3 %4").arg(take.router).arg(take.destination).arg(take.source).arg(levelsText(take.levels)));
    return lines.join(QLatin1Char('\n'));
}

QList<SalvoTake> frmSalvoEdit::parseTakes(const QString &text, int *badLine)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d{1,3})\\s+(\\d{1,3})\\s+(\\d{1,3})(?:\\s+([0-7]{1,8}))?\\s*$"));
    QList<SalvoTake> takes;
    *badLine = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int n = 0; n < lines.size(); ++n) {
        if (lines[n].trimmed().isEmpty())
            continue;
        const QRegularExpressionMatch match = pattern.match(lines[n]);
        if (!match.hasMatch()) {
            *badLine = n + 1;
            return {};
        }
        SalvoTake take{match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(), {}};
        if (match.captured(4).isEmpty())
            take.levels.fill(true);
        for (const QChar c : match.captured(4))
            take.levels[std::size_t(c.unicode() - u'0')] = true;
        takes.append(take);
    }
    return takes;
}

QString frmSalvoEdit::save()
{
    int badLine = 0;
    Salvo salvo{txtName->text().trimmed(), txtComment->text(), parseTakes(txtTakes->toPlainText(), &badLine)};
    if (badLine > 0)
        return QStringLiteral("Line %1 of the takes is not \"router destination source [levels]\".").arg(badLine);
    const Server::SalvoEditOutcome outcome = server.saveSalvo(salvo, server.currentUser());
    switch (outcome.result) {
    case Server::SalvoEditResult::Done: break;
    case Server::SalvoEditResult::NoPrivilege: return takeRefusalText(TakeRefusal::NoPrivilege);
    case Server::SalvoEditResult::Invalid:
    case Server::SalvoEditResult::NotFound:
    case Server::SalvoEditResult::NotSaved: return outcome.error;
    }
    // Renamed: the salvo under its old name goes.
    if (!original.isEmpty() && original != salvo.name)
        server.deleteSalvo(original, server.currentUser());
    return {};
}

frmSalvoFromCurrent::frmSalvoFromCurrent(Server &server, QWidget *parent) : QDialog(parent), server(server)
{
    setObjectName(QStringLiteral("frmSalvoFromCurrent"));
    setWindowTitle(QStringLiteral("New Salvo from Current"));
    setAttribute(Qt::WA_DeleteOnClose);
    cboRouter = new QComboBox;
    cboRouter->setObjectName(QStringLiteral("cboRouter"));
    cboRouter->setAccessibleName(QStringLiteral("Router"));
    for (int r = 1; r <= kRouterCount; ++r) {
        if (server.servesRouter(r))
            cboRouter->addItem(QStringLiteral("%1 %2").arg(r).arg(server.routerTable(r).Name), r);
    }
    lstDestinations = new QListWidget;
    lstDestinations->setObjectName(QStringLiteral("lstDestinations"));
    lstDestinations->setAccessibleName(QStringLiteral("Destinations"));
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    box->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
    box->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Tick the destinations whose current sources make the salvo:")));
    layout->addWidget(cboRouter);
    layout->addWidget(lstDestinations, 1);
    layout->addWidget(box);
    connect(cboRouter, &QComboBox::currentIndexChanged, this, &frmSalvoFromCurrent::fillDestinations);
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    fillDestinations();
    resize(420, 480);
}

void frmSalvoFromCurrent::fillDestinations()
{
    lstDestinations->clear();
    const int r = cboRouter->currentData().toInt();
    if (!isRouterNumber(r))
        return;
    const RouterTable &table = server.routerTable(r);
    for (int d = 1; d <= kPointCount; ++d) {
        const int s = ShownSource(table, server.routerState(r), d);
        if (!table.DestVisible[d] || !isPointNumber(s))
            continue;
        auto *item = new QListWidgetItem(QStringLiteral("%1 <- %2").arg(pointName(table.DestDescription[d], d),
                                                                         pointName(table.SourceDescription[s], s)));
        item->setData(Qt::UserRole, d);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        lstDestinations->addItem(item);
    }
}

Salvo frmSalvoFromCurrent::salvo() const
{
    Salvo salvo;
    const int r = cboRouter->currentData().toInt();
    if (!isRouterNumber(r))
        return salvo;
    for (int row = 0; row < lstDestinations->count(); ++row) {
        const QListWidgetItem *item = lstDestinations->item(row);
        if (item->checkState() != Qt::Checked)
            continue;
        const int d = item->data(Qt::UserRole).toInt();
        SalvoTake take{r, d, ShownSource(server.routerTable(r), server.routerState(r), d), {}};
        take.levels.fill(true);
        salvo.takes.append(take);
    }
    return salvo;
}

} // namespace marlin
