#include "Main.h"

#include "ui_Main.h"

#include "client/FocusInView.h"
#include "client/platform/CatalogList.h"
#include "core/CatalogPage.h"
#include "core/Encoding.h"
#include "core/ItemPaths.h"
#include "core/NetworkFailure.h"
#include "download/Downloader.h"
#include "download/NetworkFetchService.h"
#include "progress/JsonPropertyBag.h"
#include "progress/ProgressBar.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QTimer>

// Failures and expected events (a download cancelled) show without configuration; the detail
// is debug output, off unless asked for and compiled out of release builds.
Q_LOGGING_CATEGORY(lcMain, "tavrel.main", QtInfoMsg)

// The window's resources live in a static library; the linker keeps them only when asked.
static void initWindowResources()
{
    Q_INIT_RESOURCE(window);
    Q_INIT_RESOURCE(resources);
}

namespace {

struct Column
{
    const char *caption;
    int width;
};
// Category, title, licence and update time are shown; file name and id ride along hidden.
constexpr Column listColumns[] = {
    {QT_TRANSLATE_NOOP("Main", "软件分类"), 86}, {QT_TRANSLATE_NOOP("Main", "软件标题"), 200},
    {QT_TRANSLATE_NOOP("Main", "授权方式"), 87}, {QT_TRANSLATE_NOOP("Main", "更新时间"), 140},
    {QT_TRANSLATE_NOOP("Main", "下载地址"), 0},  {QT_TRANSLATE_NOOP("Main", "id"), 0}};

} // namespace

Main::Main(MainServices services, QWidget *parent)
    : QWidget(parent), m_services(std::move(services)), ui(std::make_unique<Ui::Main>()),
      m_session(m_services.transfer), m_library(m_services.libraryRoot)
{
    initWindowResources();
    ui->setupUi(this);
    m_list = ui->ListView;

    // The bar's stored look is a resource of the window; it stays hidden until a download.
    JsonPropertyBag bag;
    if (bag.load(QStringLiteral(":/ProgressBar1.bag.json"))) {
        ui->ProgressBar1->setUpdatesEnabled(false);
        ui->ProgressBar1->ReadProperties(bag);
        ui->ProgressBar1->setUpdatesEnabled(true);
    }
    // Hidden, it is drawn when first shown (its resize comes then), not now.
    ui->ProgressBar1->setVisible(false);

    std::unique_ptr<FetchService> fetcher = m_services.makeFetchService
                                                ? m_services.makeFetchService()
                                                : std::make_unique<NetworkFetchService>();
    Downloader1 = new Downloader(
        std::move(fetcher),
        [this](const QString &text) {
            m_services.prompter->ask(text, tr("错误"), Prompter::Buttons::Ok,
                                     Prompter::Icon::Critical);
        },
        this);
    // A download's events wait while a handler runs, so none runs inside another.
    connect(Downloader1, &Downloader::DownloadProgress, this,
            [this](qint64 cur, qint64 max, const QString &file) {
                whenIdle([=, this] { Downloader1_DownloadProgress(cur, max, file); });
            });
    connect(Downloader1, &Downloader::DownloadError, this,
            [this](const QString &file, const QString &reason) {
                whenIdle([=, this] { Downloader1_DownloadError(file, reason); });
            });
    connect(Downloader1, &Downloader::DownloadComplete, this,
            [this](qint64 max, const QString &file) {
                whenIdle([=, this] { Downloader1_DownloadComplete(max, file); });
            });
    connect(Downloader1, &Downloader::DownloadAllComplete, this, [this](const QStringList &failed) {
        whenIdle([=, this] { Downloader1_DownloadAllComplete(failed); });
    });
    // The file takes its place only when no link has been planted on its way meanwhile.
    Downloader1->setCommitCheck([this](const QString &saveFile) { return linkRefusal(saveFile); });

    connect(m_list, &CatalogList::rowSelected, this,
            [this](int row) { handle([this, row] { ListView_RowSelected(row); }); });
    connect(m_list, &CatalogList::rowActivated, this,
            [this] { handle([this] { ListView_RowActivated(); }); });
    connect(m_list, &CatalogList::rowMenuRequested, this, [this](int row, const QPoint &pos) {
        handle([this, row, pos] { ListView_RowMenu(row, pos); });
    });
    // What is in the library shows on the title of the rows painted, never on all of a page.
    m_library.load();
    m_list->setRowMarker(1, [this](int row) { return m_library.mark(rowItem(row)); });

    const std::pair<QPushButton *, void (Main::*)()> clicks[] = {
        {ui->Command1, &Main::Command1_Click},   {ui->Command2, &Main::Command2_Click},
        {ui->Command3, &Main::Command3_Click},   {ui->Command4, &Main::Command4_Click},
        {ui->Command5, &Main::Command5_Click},   {ui->Command6, &Main::Command6_Click},
        {ui->Command7, &Main::Command7_Click},   {ui->Command8, &Main::Command8_Click},
        {ui->Command9, &Main::Command9_Click},   {ui->Command10, &Main::Command10_Click},
        {ui->Command11, &Main::Command11_Click}, {ui->Command12, &Main::Command12_Click},
        {ui->Qian, &Main::Qian_Click},           {ui->Hou, &Main::Hou_Click},
        {ui->SoSo, &Main::SoSo_Click},
    };
    for (const auto &[button, handler] : clicks)
        connect(button, &QPushButton::clicked, this,
                [this, h = handler] { handle([this, h] { (this->*h)(); }); });

    // Enter in the search box searches, as a click on the button would (nothing when disabled).
    connect(ui->Text1, &QLineEdit::returnPressed, ui->SoSo, &QPushButton::click);
    // The count label shows what the server sent, never as markup.
    ui->JiLu_Text->setTextFormat(Qt::PlainText);

    // A running download is cancelled with Esc or a click on its bar.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this,
            [this] { handle([this] { askCancelDownload(); }); });
    ui->ProgressBar1->installEventFilter(this);

    // The controls laid out beyond the window's first size join the tab chain once seen.
    FocusInView::watch(this);
}

bool Main::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->ProgressBar1 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        handle([this] { askCancelDownload(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

Main::~Main() = default;

ProgressBar *Main::progressBar() const
{
    return ui->ProgressBar1;
}

QString Main::Utf8ToUnicode(const QByteArray &bytes)
{
    return tavrel::utf8ToUnicode(bytes);
}

QString Main::GBtoUTF8(const QString &text)
{
    return tavrel::gbToUtf8(text);
}

void Main::Form_Load()
{
    // The window's look first; what goes out to the network waits until it is on screen.
    setWindowTitle(QStringLiteral("Tavrel1.3"));
    m_session.begin(m_services.baseUrl); // nobody logged in, no list yet
    SelectedRow = -1;
    ui->Qian->setEnabled(false);
    ui->Hou->setEnabled(false);
    ui->SoSo->setEnabled(false);

    m_list->clearColumns();
    int index = 0;
    for (const Column &column : listColumns)
        m_list->addColumn(index++, tr(column.caption), column.width, 0);
    m_list->applySettings(true, 1, true, true, true, false, 0xFFFFFF);

    applySkin();

    if (m_services.requestsAfterFirstPaint && !m_painted) {
        m_startWhenPainted = true;
        return;
    }
    handle([this] { startUp(); });
}

void Main::startUp()
{
    // The statistics visit and the chime go on beside start-up and never report a failure.
    m_services.effects->pingStatistics(m_services.statisticsUrl);
    m_services.effects->playSound(m_services.programFolder + QStringLiteral("/mp3/mp3.mp3"), 50);
    // The latest list, without a box if the server is away: the window opens empty then.
    ui->SoSo->setEnabled(true);
    showList(m_session.openLatestAtStart(), true);
    Q_EMIT startUpFinished();
}

void Main::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (m_painted)
        return;
    m_painted = true;
    Q_EMIT firstPainted();
    if (m_startWhenPainted) {
        m_startWhenPainted = false;
        // After this paint has reached the screen.
        QTimer::singleShot(0, this, [this] { handle([this] { startUp(); }); });
    }
}

void Main::closeEvent(QCloseEvent *event)
{
    // A request still waiting ends with the program; nobody is left to be told about it.
    m_closing = true;
    if (!m_currentSaveFile.isEmpty())
        qCInfo(lcMain).noquote() << "download of" << tavrel::visibleName(m_currentItem)
                                 << "cancelled: the window is closing";
    QWidget::closeEvent(event);
}

void Main::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // Back from the file manager: a folder deleted there loses its mark.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        refreshMarks();
}

void Main::handle(const std::function<void()> &action)
{
    // Input made while a request waits is dropped by the transfer; what reaches a handler some
    // other way (an assistive technology's action, a queued click) is dropped here.
    if (m_handling)
        return;
    {
        const QScopedValueRollback busy(m_handling, true);
        action();
    }
    // The download events that came meanwhile, in their order.
    while (!m_handling && !m_waitingEvents.isEmpty())
        m_waitingEvents.takeFirst()();
}

void Main::whenIdle(std::function<void()> event)
{
    if (m_handling)
        m_waitingEvents.append(std::move(event));
    else
        event();
}

void Main::applySkin()
{
    QFile skin(m_services.programFolder + QStringLiteral("/Skin/Skin.she"));
    if (!skin.open(QIODevice::ReadOnly | QIODevice::Text))
        return; // no skin: the window runs with the platform's look
    setStyleSheet(QString::fromUtf8(skin.readAll()));
}

void Main::Command1_Click()
{
    ui->SoSo->setEnabled(true);
    showList(m_session.openLatest());
}

void Main::Command2_Click()
{
    ui->SoSo->setEnabled(true);
    showList(m_session.openRecommended());
}

void Main::Qian_Click()
{
    showList(m_session.previousPage());
}

void Main::Hou_Click()
{
    showList(m_session.nextPage());
}

void Main::SoSo_Click()
{
    showList(m_session.search(tavrel::trimBlanks(ui->Text1->text())));
}

std::optional<int> Main::LoadCatalogPage(const QString &url, QString *error)
{
    CatalogSession::PageFetch fetch = m_session.fetchPage(url);
    if (!fetch.page) {
        if (error)
            *error = fetch.error;
        return std::nullopt;
    }
    const int pageCount = fetch.page->pageCount;
    showPage(std::move(*fetch.page));
    return pageCount;
}

void Main::showPage(tavrel::CatalogPage page)
{
    if (page.recordCount)
        setCountLabel(tr("共有 %1 记录").arg(*page.recordCount));
    // The cells are cut from the reply's bytes and decoded with Utf8ToUnicode when shown; the
    // marks look at the disk afresh.
    m_library.refresh();
    m_list->replaceRows(std::move(page));
}

void Main::showList(CatalogSession::ListLoad load, bool quiet)
{
    if (!load.page) {
        // At start-up no box says why the list stays empty: this line does.
        if (!m_closing)
            qCWarning(lcMain).noquote()
                << (quiet ? "start-up list not loaded:" : "list not loaded:") << load.error;
        if (!quiet)
            showUnreachable(load.error);
        return;
    }
    showPage(std::move(*load.page));
    ui->Qian->setEnabled(load.buttons.previous);
    ui->Hou->setEnabled(load.buttons.next);
}

void Main::showUnreachable(const QString &error)
{
    inform(tavrel::unreachableText(error), tr("提示"));
}

void Main::setCountLabel(const QString &text)
{
    ui->JiLu_Text->setText(text);
    ui->JiLu_Text->adjustSize(); // the label is as wide as its text
}
