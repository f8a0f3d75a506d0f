#include "launcher/ui/launchermainwindow.h"

#include "launcher/application/launcherapplication.h"
#include "launcher/diagnostics/cloudflarecdntrace.h"
#include "launcher/installation/installationmanager.h"
#include "launcher/installation/packageinstallation.h"
#include "launcher/ui/clickablelabel.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/uiresources.h"
#include "launcher/ui/weblink.h"
#include "launcher/version.h"
#include "shared/qtextbrowserwithnetwork.h"

#include <QBuffer>
#include <QDebug>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpacerItem>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace quarn::launcher {

const char TLauncherMainWindow::MAKER_WEB_SITE[] = "https://www.kettrel.com/";
const char TLauncherMainWindow::TWITTER_PAGE[] = "https://twitter.com/OrvaneOnline";
const char TLauncherMainWindow::DISCORD_INVITATION[] = "https://discord.gg/orvane-online";
const char TLauncherMainWindow::LICENCE_ADDRESS[] = "https://www.gnu.org/licenses/lgpl-3.0.html";
const char TLauncherMainWindow::QT_SOURCE_ADDRESS[] = "https://download.qt.io/archive/qt/";

namespace {

const QString FOOTER_TEXT_STYLE =
    QStringLiteral("font-family: \"Liberation Sans\"; font-variant: small-caps; "
                   "font-size: 11px; font-weight: bold; color: #DADABC;");

// The scroll bar of the text browsers and of the tile area.
const QString SCROLL_BAR_STYLE = QStringLiteral(
    "QScrollBar::vertical { border-image: url(:/images/launcher/scrollbar-texture-vertical.png) 0 0 0 0 "
    "repeat; "
    "border-top: 6px transparent; border-left: 6px transparent; border-bottom: 6px transparent; "
    "border-right: 6px transparent; border: 0px solid red; background: none; width: 12px; "
    "margin: 12px 0 12px 0; } "
    "QScrollBar::handle:vertical { border-image: url(:/images/launcher/scrollbar-handle-vertical.png) 6 6 6 "
    "6; "
    "border-top: 6px transparent; border-left: 6px transparent; border-bottom: 6px transparent; "
    "border-right: 6px transparent; min-height: 12px; } "
    "QScrollBar::add-line:vertical { border: 0px solid red; background: none; height: 12px; "
    "subcontrol-position: bottom; subcontrol-origin: margin; } "
    "QScrollBar::sub-line:vertical { border: 0px solid red; background: none; height: 12px; "
    "subcontrol-position: top; subcontrol-origin: margin; } "
    "QScrollBar::up-arrow:vertical { image: url(:/images/launcher/scrollbar-buttonup-up.png); } "
    "QScrollBar::up-arrow:vertical::pressed { image: url(:/images/launcher/scrollbar-buttonup-down.png); } "
    "QScrollBar::down-arrow:vertical { image: url(:/images/launcher/scrollbar-buttondown-up.png); } "
    "QScrollBar::down-arrow:vertical::pressed { image: url(:/images/launcher/scrollbar-buttondown-down.png); "
    "} "
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");

const char* const HINT_CATEGORIES[] = {"cat1", "cat2", "cat3"};

// Rows of tiles that fit the window's height; more rows scroll.
constexpr int VISIBLE_TILE_ROWS = 2;
constexpr int TILES_PER_ROW = 4;

} // namespace

TLauncherMainWindow::TLauncherMainWindow(const TPackageVector& packages,
                                         const TInstallationManager& installationManager,
                                         bool showPackageNames,
                                         std::shared_ptr<::shared::TDownloadPool> downloadPool,
                                         std::shared_ptr<TCloudflareCdnTrace> cdnTrace,
                                         std::shared_ptr<TLauncherConfigurationReader> launcherConfiguration)
    : TDraggableMainWindow(nullptr), m_LauncherConfiguration(std::move(launcherConfiguration)),
      m_DownloadPool(std::move(downloadPool)), m_CdnTrace(std::move(cdnTrace)) {
    initializeUiResources();
    // Pictures drawn at twice the size ("@2x") are used on high-density screens.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);

    setWindowTitle(QStringLiteral("Orvane Online"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedWidth(800);
    setMaximumHeight(600);
    setMinimumHeight(450);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::MinimumExpanding);
    setAccessibleName(QStringLiteral("Orvane Online"));

    // The picture covers the top of the window; its bottom 450 pixels stretch below.
    setStyleSheet(
        QStringLiteral("QMainWindow { border-image: url(:/images/launcher/BackgroundImage.jpg) 0 0 450 0; "
                       "border-top: 0px transparent; border-left: 0px transparent; "
                       "border-bottom: 450px transparent; border-right: 0px transparent; }"));

    auto* central = new QWidget(this);
    central->setAttribute(Qt::WA_TranslucentBackground);

    // The tiles, four to a row, centred; inside a scroll area so that any number of rows fits.
    auto* tileArea = new QWidget();
    auto* tileRow = new QHBoxLayout(tileArea);
    tileRow->setContentsMargins(0, 0, 0, 0);
    m_TileGrid = new QGridLayout();
    tileRow->addStretch(1);
    tileRow->addLayout(m_TileGrid, 2);
    tileRow->addStretch(1);
    int row = 0;
    int column = 0;
    for (const std::shared_ptr<TPackage>& package : packages) {
        if (!package)
            continue;
        auto* tile = new TClientPackageLayoutItem(package, showPackageNames);
        m_Tiles[package->packageIdentifier()] = tile;
        tile->setDefaultClientPackage(package->isDefaultPackage());
        m_TileGrid->addLayout(tile, row, column, 1, 1);
        connect(tile, &TClientPackageLayoutItem::defaultChanged, this,
                &TLauncherMainWindow::onDefaultClientPackageCheckboxChanged);
        connect(tile, &TClientPackageLayoutItem::buttonClicked, this,
                &TLauncherMainWindow::clientPackageButtonClicked);
        connect(tile, &TClientPackageLayoutItem::verifyButtonClicked, this,
                &TLauncherMainWindow::clientPackageVerifyButtonClicked);
        if (++column == TILES_PER_ROW) {
            column = 0;
            ++row;
        }
    }
    m_TileScrollArea = new QScrollArea();
    m_TileScrollArea->setObjectName(QStringLiteral("tileScrollArea"));
    m_TileScrollArea->setFrameShape(QFrame::NoFrame);
    m_TileScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_TileScrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_TileScrollArea->setWidgetResizable(true);
    m_TileScrollArea->setWidget(tileArea);
    // The window's picture shows through the scroll area (setWidget turns filling on).
    tileArea->setAutoFillBackground(false);
    m_TileScrollArea->viewport()->setAutoFillBackground(false);
    m_TileScrollArea->setStyleSheet(
        QStringLiteral("QScrollArea#tileScrollArea { background: transparent; } ") + SCROLL_BAR_STYLE);
    m_TileScrollArea->setAccessibleName(tr("Game clients"));
    fitTileArea(static_cast<int>(m_Tiles.size()));

    // Footer rows: About and version at the right, the social links in the middle.
    auto* aboutRow = new QHBoxLayout();
    aboutRow->addStretch();
    aboutRow->addWidget(createAboutDialogLabel());
    aboutRow->addWidget(createLauncherVersion(), 0, Qt::AlignRight);
    auto* socialRow = new QHBoxLayout();
    socialRow->addStretch();
    socialRow->addWidget(createLinkedLabel(QStringLiteral(":/images/launcher/Twitter.png"),
                                           QString::fromLatin1(TWITTER_PAGE), tr("Follow us on Twitter")));
    socialRow->addWidget(createLinkedLabel(QStringLiteral(":/images/launcher/Discord.png"),
                                           QString::fromLatin1(DISCORD_INVITATION),
                                           tr("Follow us on Discord")));
    socialRow->addStretch();

    m_MainLayout = new QVBoxLayout();
    m_MainLayout->addSpacing(11);
    m_MainLayout->addWidget(m_TileScrollArea);
    if (m_Tiles.empty()) {
        m_MainLayout->addSpacing(300);
        showPackageDownloadErrorMessage();
    }
    m_MainLayout->addSpacing(6);
    m_HintSpacer = new QSpacerItem(700, 84, QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_MainLayout->addItem(m_HintSpacer);
    m_MainLayout->addWidget(createHintArea(), 0, Qt::AlignHCenter);
    m_MainLayout->addSpacing(-14);
    // The negative spacings lay logo, social links and About over one band.
    auto* hintAreaLayout = static_cast<QVBoxLayout*>(m_HintArea->layout());
    hintAreaLayout->addSpacing(8);
    hintAreaLayout->addWidget(createKettrelLabel(), 0, Qt::AlignLeft);
    hintAreaLayout->addSpacing(-22);
    hintAreaLayout->addLayout(aboutRow);
    hintAreaLayout->addSpacing(-34);
    hintAreaLayout->addLayout(socialRow);
    hintAreaLayout->addSpacing(8);
    central->setLayout(m_MainLayout);
    setCentralWidget(central);

    // The middle of the primary screen.
    // As high as the content asks for, within the window's limits (adjustSize would also cap the
    // height at two thirds of the screen).
    resize(width(), std::clamp(sizeHint().height(), minimumHeight(), maximumHeight()));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize available = screen->geometry().size();
        move((available.width() - width()) / 2, (available.height() - height()) / 2);
    }

    connect(&installationManager, &TInstallationManager::installationOrUpdateStarted, this,
            &TLauncherMainWindow::onInstallationOrUpdateStarted);
    connect(&installationManager, &TInstallationManager::installationOrUpdateFinished, this,
            &TLauncherMainWindow::onInstallationOrUpdateFinished);
    const std::shared_ptr<TPackage> defaultPackage = installationManager.getDefaultPackage();
    m_DefaultPackageIdentifier = defaultPackage ? defaultPackage->packageIdentifier() : -1;

    if (TLauncherApplication::Instance)
        TLauncherApplication::Instance->sendFunnelEvent(QStringLiteral("launcher_started"),
                                                        QStringLiteral("FunnelStartedFirst"));
}

TLauncherMainWindow::~TLauncherMainWindow() {
    disconnect(m_TraceConnection);
}

void TLauncherMainWindow::fitTileArea(int packageCount) {
    // As high as the rows it shows, at most two; further rows are reached by scrolling.
    const int rows = (packageCount + TILES_PER_ROW - 1) / TILES_PER_ROW;
    const int visibleRows = std::min(rows, VISIBLE_TILE_ROWS);
    int height = 0;
    if (visibleRows > 0) {
        const int tileHeight = m_Tiles.begin()->second->sizeHint().height();
        const int spacing = m_TileGrid->verticalSpacing() >= 0 ? m_TileGrid->verticalSpacing() : 6;
        const QMargins margins = m_TileGrid->contentsMargins();
        height = visibleRows * tileHeight + (visibleRows - 1) * spacing + margins.top() + margins.bottom();
        if (rows > visibleRows)
            height += spacing / 2; // a hint of the next row below
    }
    m_TileScrollArea->setFixedHeight(height);
}

QLabel* TLauncherMainWindow::createLinkedLabel(const QString& image, const QString& link,
                                               const QString& toolTip) {
    auto* label = new QLabel(this);
    label->setTextFormat(Qt::RichText);
    label->setText(linkedImageHtml(link, image));
    label->setToolTip(toolTip);
    label->setAccessibleName(toolTip);
    openLabelLinksAsWebLinks(label);
    return label;
}

QLabel* TLauncherMainWindow::createAboutDialogLabel() {
    QLabel* label = createLinkedLabel(QStringLiteral(":/images/launcher/icircle.png"),
                                      QStringLiteral("about"), tr("About"));
    // The link only asks for the About box; nothing is opened.
    disconnect(label, &QLabel::linkActivated, nullptr, nullptr);
    connect(label, &QLabel::linkActivated, this, &TLauncherMainWindow::onAboutDialogRequested);
    return label;
}

QLabel* TLauncherMainWindow::createLauncherVersion() {
    auto* label = new QLabel(QStringLiteral("v") + LAUNCHER_VERSION, this);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QStringLiteral("QLabel { %1 }").arg(FOOTER_TEXT_STYLE));
    label->setAccessibleName(tr("Launcher version %1").arg(LAUNCHER_VERSION));
    return label;
}

QLabel* TLauncherMainWindow::createKettrelLabel() {
    const QString site = QString::fromLatin1(MAKER_WEB_SITE);
    QLabel* label = createLinkedLabel(QStringLiteral(":/images/launcher/KettrelLogo.png"), site, site);
    label->setAccessibleName(tr("Kettrel GmbH web site"));
    return label;
}

void TLauncherMainWindow::onAboutDialogRequested(const QString&) {
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(qtTrId("launcher.about.title"));
    box->setIcon(QMessageBox::Information);
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    QString text = qtTrId("launcher.about.text");
    // Without the catalogue the identifier stands for itself and takes no values.
    if (text.contains(QLatin1String("%1"))) {
        text = text.arg(QCoreApplication::applicationName().toHtmlEscaped(), LAUNCHER_VERSION.toHtmlEscaped(),
                        QString::fromLatin1(qVersion()), QString::fromLatin1(LICENCE_ADDRESS),
                        QString::fromLatin1(QT_SOURCE_ADDRESS), QString::fromLatin1(MAKER_WEB_SITE));
    }
    box->setText(text);
    box->setStandardButtons(QMessageBox::Ok);
    // Modal for the window, without blocking the caller in a nested event loop.
    box->open();
}

void TLauncherMainWindow::onDefaultClientPackageCheckboxChanged(std::shared_ptr<TPackage> pPackage,
                                                                bool IsDefault) {
    if (!pPackage)
        return;
    const int identifier = pPackage->packageIdentifier();
    if (IsDefault) {
        if (m_DefaultPackageIdentifier == identifier)
            return;
        m_DefaultPackageIdentifier = identifier;
    } else {
        if (m_DefaultPackageIdentifier != identifier)
            return;
        m_DefaultPackageIdentifier = -1;
    }
    for (const auto& [tileIdentifier, tile] : m_Tiles)
        tile->setDefaultClientPackage(IsDefault && tileIdentifier == identifier);
    emit defaultChanged(pPackage, IsDefault);
}

void TLauncherMainWindow::setDefault(std::shared_ptr<TPackage> pPackage, bool IsDefault) {
    const int identifier = pPackage ? pPackage->packageIdentifier() : -1;
    m_DefaultPackageIdentifier = IsDefault ? identifier : -1;
    for (const auto& [tileIdentifier, tile] : m_Tiles)
        tile->setDefaultClientPackage(IsDefault && pPackage && tileIdentifier == identifier);
}

TClientPackageLayoutItem* TLauncherMainWindow::tileOf(const TPackageInstallation& run) const {
    const std::shared_ptr<TPackage> package = run.packageBeingInstalled();
    if (!package)
        return nullptr;
    const auto found = m_Tiles.find(package->packageIdentifier());
    return found != m_Tiles.end() ? found->second : nullptr;
}

void TLauncherMainWindow::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress) {
    TClientPackageLayoutItem* tile = tileOf(InstallationInProgress);
    if (!tile) {
        qWarning() << "onInstallationOrUpdateStarted: no tile for the run's package";
        return;
    }
    tile->onInstallationOrUpdateStarted(InstallationInProgress);
}

void TLauncherMainWindow::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress) {
    const std::shared_ptr<TPackage> package = InstallationInProgress.packageBeingInstalled();
    TClientPackageLayoutItem* tile = tileOf(InstallationInProgress);
    qInfo() << "onInstallationOrUpdateFinished package: " << (package ? package->packageName() : QString())
            << " error reason: " << static_cast<int>(InstallationInProgress.installationErrorReason())
            << " Thread: " << QThread::currentThreadId();
    if (!tile) {
        qWarning() << "onInstallationOrUpdateFinished: no tile for the run's package";
        return;
    }
    tile->onInstallationOrUpdateFinished(InstallationInProgress);
    const QString name = package->packageName();
    switch (InstallationInProgress.installationErrorReason()) {
    case PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED:
        showDownloadErrorMessage(name);
        break;
    case PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED:
        // The run may know the exact reason, such as the space it needs and the space there is.
        showInstallationFailedMessage(name, !InstallationInProgress.installationErrorMessage().isEmpty()
                                                ? InstallationInProgress.installationErrorMessage()
                                                : tr("Make sure you have enough free disk space and the "
                                                     "application isn't currently running, then try again."));
        break;
    case PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED:
        showInstallationFailedMessage(name, tr("Verification of game data failed!"));
        break;
    default:
        break;
    }
}

void TLauncherMainWindow::showInstallationFailedMessage(const QString& packageName, const QString& reason) {
    // Shown without blocking: this runs inside the installation manager's signal.
    auto* box =
        new QMessageBox(QMessageBox::Critical, tr("Installation failed"), QString(), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->setText(tr("The installation of %1 failed.\n\n%2").arg(packageName, reason));
    box->setModal(false);
    box->show();
}

void TLauncherMainWindow::ensureErrorMessageBox() {
    if (m_ErrorMessageBox)
        return;
    m_ErrorMessageBox = new QMessageBox(this);
    m_ErrorMessageBox->setTextFormat(Qt::PlainText);
    m_ErrorMessageBox->setStandardButtons(QMessageBox::Ok);
    m_ErrorMessageBox->setModal(false);
}

void TLauncherMainWindow::showDownloadErrorMessage(const QString& packageName) {
    ensureErrorMessageBox();
    QString diagnosis;
    if (m_CdnTrace && !m_CdnTrace->isFinished() && !m_CdnTrace->isFailed()) {
        m_CdnTrace->startReceivingTraceOutput();
        // One wait at a time; it shows the latest failed package again once the trace is in.
        m_PackageAwaitingDiagnosis = packageName;
        if (!m_TraceConnection && !m_CdnTrace->isFailed() && !m_CdnTrace->isFinished()) {
            m_TraceConnection =
                connect(m_CdnTrace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived, this, [this](bool) {
                    disconnect(m_TraceConnection);
                    m_TraceConnection = QMetaObject::Connection();
                    if (m_ErrorMessageBox && m_ErrorMessageBox->isVisible())
                        showDownloadErrorMessage(m_PackageAwaitingDiagnosis);
                });
        }
        diagnosis = tr("Loading, please wait...");
    }
    if (!m_CdnTrace) {
        diagnosis = tr("Failed to obtain information.");
    } else if (m_CdnTrace->isFinished()) {
        diagnosis = m_CdnTrace->traceOutput().diagnosticSummary();
    } else if (m_CdnTrace->isFailed()) {
        diagnosis = tr("Failed to obtain information.");
    }
    m_ErrorMessageBox->setWindowTitle(tr("Download failed"));
    m_ErrorMessageBox->setText(
        tr("The installation of %1 failed.\n\nNot all files necessary could be downloaded. "
           "Please try again later.\n\nDiagnostic information: %2")
            .arg(packageName, diagnosis));
    m_ErrorMessageBox->setIcon(QMessageBox::Critical);
    m_ErrorMessageBox->show();
}

void TLauncherMainWindow::showPackageDownloadErrorMessage() {
    ensureErrorMessageBox();
    m_ErrorMessageBox->setWindowTitle(tr("Connection problem"));
    m_ErrorMessageBox->setText(tr("Could not connect to the update service.\n\nPlease try again later.\n"));
    m_ErrorMessageBox->setIcon(QMessageBox::Critical);
    m_ErrorMessageBox->show();
}

// --- Hint area ---------------------------------------------------------------------------------

QGroupBox* TLauncherMainWindow::createHintArea() {
    m_HintArea = new QGroupBox(this);
    m_HintArea->setTitle(QString());
    m_HintArea->setAlignment(Qt::AlignHCenter);
    m_HintArea->setStyleSheet(
        QStringLiteral(
            "QGroupBox { border-image: url(:/images/launcher/hint-background.png) %1 %1 0 %1 repeat; "
            "border-top: %1px transparent; border-left: %1px transparent; "
            "border-bottom: %1px transparent; border-right: %1px transparent; "
            "background-attachment: fixed; %2 } "
            "QGroupBox::title { color: #DADABC; margin-top: 2px transparent; "
            "background-color: transparent; }")
            .arg(QString::number(5), FOOTER_TEXT_STYLE));

    auto* rowLayout = new QHBoxLayout();
    rowLayout->setSpacing(0);
    for (const char* category : HINT_CATEGORIES) {
        const QString name = QString::fromLatin1(category);
        QWidget* wrapper = createHintWrapper(createHint(name));
        if (name == QLatin1String("cat1"))
            clipWidgetRight(wrapper);
        else if (name == QLatin1String("cat2"))
            clipWidgetLeftAndRight(wrapper);
        else
            clipWidgetLeft(wrapper);
        m_HintWrappers.insert(name, wrapper);
        rowLayout->addWidget(wrapper);
    }
    rowLayout->setContentsMargins(0, 0, 44, 0);
    m_HintsRow = new QWidget(this);
    m_HintsRow->setLayout(rowLayout);
    m_HintsRow->hide();

    m_HintArea->setMinimumWidth(780);
    m_HintArea->setMaximumWidth(790);
    m_HintArea->setLayout(new QVBoxLayout());
    m_HintArea->show();
    return m_HintArea;
}

::shared::QTextBrowserWithNetwork* TLauncherMainWindow::createHint(const QString&) {
    auto* browser = new ::shared::QTextBrowserWithNetwork(m_DownloadPool, this);
    // Links open through the web-link guard, never as arbitrary addresses.
    browser->setOpenLinks(false);
    connect(browser, &QTextBrowser::anchorClicked, browser, [](const QUrl& url) { openWebLink(url); });
    browser->setContextMenuPolicy(Qt::NoContextMenu);
    browser->setFixedSize(280, 104);
    browser->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    browser->viewport()->setAutoFillBackground(true);
    browser->document()->setDefaultStyleSheet(
        QStringLiteral("a { text-decoration:underline; color: #c0c0c0; }"));
    browser->setStyleSheet(QStringLiteral("QTextBrowser { %1 border-style: none; } ").arg(FOOTER_TEXT_STYLE) +
                           SCROLL_BAR_STYLE);
    return browser;
}

QWidget* TLauncherMainWindow::createHintWrapper(QWidget* widget) {
    auto* wrapper = new QWidget(this);
    wrapper->setFixedSize(276, 80);
    wrapper->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    widget->setParent(wrapper);
    return wrapper;
}

namespace {

// Masks the widget to a quadrilateral with optionally slanted left and right edges (by half the
// height), so that neighbouring tiles interlock.
void clipWidget(QWidget* widget, bool slantedLeft, bool slantedRight, bool withStroke) {
    const qreal w = widget->width();
    const qreal h = widget->height();
    QPainterPath outline;
    outline.moveTo(slantedLeft ? h / 2 : 0, 0);
    outline.lineTo(w, 0);
    outline.lineTo(slantedRight ? w - h / 2 : w, h);
    outline.lineTo(0, h);
    outline.closeSubpath();
    QPolygon polygon = outline.toFillPolygon().toPolygon();
    if (withStroke) {
        QPainterPathStroker stroker;
        stroker.setWidth(1);
        stroker.setJoinStyle(Qt::RoundJoin);
        polygon += stroker.createStroke(outline).toFillPolygon().toPolygon();
    }
    widget->setMask(QRegion(polygon, Qt::OddEvenFill));
}

} // namespace

void TLauncherMainWindow::clipWidgetRight(QWidget* widget) {
    clipWidget(widget, false, true, false);
}

void TLauncherMainWindow::clipWidgetLeftAndRight(QWidget* widget) {
    clipWidget(widget, true, true, true);
}

void TLauncherMainWindow::clipWidgetLeft(QWidget* widget) {
    clipWidget(widget, true, false, true);
}

void TLauncherMainWindow::setHint(const ::shared::THint& Hint) {
    setHints({Hint});
}

void TLauncherMainWindow::setHints(std::vector<::shared::THint> Hints) {
    // Fetching a picture runs a nested event loop; a second delivery meanwhile is not mixed in.
    if (m_SettingHints) {
        qWarning() << "setHints: hints are being built already";
        return;
    }
    m_SettingHints = true;
    m_HintArea->hide();
    auto* hintAreaLayout = static_cast<QVBoxLayout*>(m_HintArea->layout());
    if (!Hints.empty()) {
        if (hintAreaLayout->indexOf(m_HintsRow) < 0)
            hintAreaLayout->insertWidget(0, m_HintsRow);
        hintAreaLayout->setContentsMargins(0, 0, 0, 0);
        m_HintsRow->show();
    }
    QSet<QString> categories;
    for (const ::shared::THint& hint : Hints) {
        QWidget* wrapper = m_HintWrappers.value(hint.category());
        if (!wrapper)
            continue;
        if (!createHintInParent(hint, wrapper))
            return; // the window is gone
        QWidget* container = wrapper->parentWidget();
        if (hint.category() == QLatin1String("cat1"))
            clipWidgetRight(container);
        else if (hint.category() == QLatin1String("cat2"))
            clipWidgetLeftAndRight(container);
        else
            clipWidgetLeft(container);
        categories.insert(hint.category());
    }
    if (categories.size() == 3) {
        if (m_HintSpacer) {
            m_MainLayout->removeItem(m_HintSpacer);
            delete m_HintSpacer;
            m_HintSpacer = nullptr;
        }
    } else {
        m_HintsRow->hide();
    }
    m_HintArea->show();
    m_SettingHints = false;
}

QPixmap TLauncherMainWindow::fetchHintPicture(const QString& imageUrl, bool& windowAlive) {
    windowAlive = true;
    const QUrl url(imageUrl, QUrl::TolerantMode);
    if (!isWebLink(url)) {
        qWarning() << "Hint picture is no web address:" << imageUrl;
        return QPixmap();
    }
    QPointer<TLauncherMainWindow> alive(this);
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = manager.get(request);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool tooLarge = false;
    bool timedOut = false;
    connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64 total) {
        if (received > HINT_PICTURE_MAX_BYTES || total > HINT_PICTURE_MAX_BYTES) {
            tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(m_HintPictureTimeoutMs);
    if (!reply->isFinished())
        loop.exec();
    timer.stop();
    if (!alive) {
        windowAlive = false;
        reply->deleteLater();
        return QPixmap();
    }
    QPixmap pixmap;
    if (reply->error() == QNetworkReply::NoError && !tooLarge && !timedOut) {
        const QByteArray data = reply->readAll();
        QBuffer buffer;
        buffer.setData(data);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        const QSize size = reader.size();
        // The header is read first, so that a small file cannot make the decoder allocate a huge
        // picture.
        if (size.isValid() && qint64(size.width()) * size.height() <= HINT_PICTURE_MAX_PIXELS) {
            const QImage image = reader.read();
            if (!image.isNull())
                pixmap = QPixmap::fromImage(image).scaled(290, 80, Qt::KeepAspectRatioByExpanding,
                                                          Qt::SmoothTransformation);
        }
        if (pixmap.isNull())
            qWarning() << "Hint picture cannot be shown:" << imageUrl;
    } else {
        qWarning() << "Hint picture not fetched:" << imageUrl << (timedOut ? "time limit" : "")
                   << (tooLarge ? "size limit" : "") << reply->errorString();
    }
    reply->deleteLater();
    return pixmap;
}

bool TLauncherMainWindow::createHintInParent(const ::shared::THint& hint, QWidget* wrapper) {
    bool windowAlive = true;
    const QPixmap pixmap = fetchHintPicture(hint.imageUrl(), windowAlive);
    if (!windowAlive)
        return false;

    // The placeholder (or the tile of an earlier hint of the same category) makes way.
    // Nothing of them is on the call stack here, so they go at once.
    qDeleteAll(wrapper->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));

    const QUrl link(hint.url(), QUrl::TolerantMode);
    const QString toolTip = plainTextToolTip(hint.url());
    const QString caption = QTextDocumentFragment::fromHtml(hint.richText()).toPlainText().trimmed();

    auto* picture = new ClickableLabel(wrapper);
    picture->setMinimumSize(290, 80);
    picture->setGeometry((wrapper->width() - pixmap.width()) / 2, (wrapper->height() - pixmap.height()) / 2,
                         pixmap.width(), pixmap.height());
    picture->setPixmap(pixmap);
    picture->setScaledContents(true);
    picture->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                     Qt::LinksAccessibleByKeyboard);
    openLabelLinksAsWebLinks(picture);
    picture->setToolTip(toolTip);
    picture->setCursor(Qt::PointingHandCursor);
    picture->setAccessibleName(caption);
    picture->setAccessibleDescription(hint.url());
    picture->show();

    auto* captionLabel = new ClickableLabel(wrapper);
    captionLabel->setTextFormat(Qt::RichText);
    captionLabel->setText(hint.richText());
    captionLabel->setStyleSheet(
        QStringLiteral("QLabel { font-family: \"Liberation Sans\"; font-variant: small-caps; "
                       "font-size: 11px; font-weight: bold; color: #DADABC; "
                       "padding-left: %1px; background-color: rgba(50, 50, 50, 0.7); }")
            .arg(hint.category() == QLatin1String("cat1") ? 10 : 18));
    captionLabel->setAlignment(Qt::AlignVCenter);
    captionLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    captionLabel->setToolTip(toolTip);
    captionLabel->setCursor(Qt::PointingHandCursor);
    captionLabel->setGeometry(0, 50, 280, 30);
    captionLabel->setAccessibleName(caption);
    captionLabel->setAccessibleDescription(hint.url());
    captionLabel->show();

    connect(picture, &ClickableLabel::clicked, this, [link] { openWebLink(link); });
    connect(captionLabel, &ClickableLabel::clicked, this, [link] { openWebLink(link); });

    const QString category = hint.category();
    if (!m_HintContainers.contains(category)) {
        auto* container = new QWidget(this);
        container->setFixedSize(286, 84);
        container->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        container->setStyleSheet(QStringLiteral(
            "QWidget:hover { background-color: #8ED838; } QWidget { background-color: transparent; }"));
        auto* containerLayout = new QHBoxLayout(container);
        containerLayout->setSpacing(0);
        containerLayout->setContentsMargins(0, 0, 0, 0);
        m_HintsRow->layout()->replaceWidget(wrapper, container, Qt::FindChildrenRecursively);
        containerLayout->addWidget(wrapper);
        m_HintsRow->layout()->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        m_HintContainers.insert(category, container);
        container->show();
    }
    return true;
}

} // namespace quarn::launcher
