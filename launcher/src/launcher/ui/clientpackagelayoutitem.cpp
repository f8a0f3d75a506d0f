#include "launcher/ui/clientpackagelayoutitem.h"

#include "launcher/download/packagefiledownloader.h"
#include "launcher/installation/packageinstallation.h"
#include "launcher/ui/qcontextpushbutton.h"
#include "launcher/ui/uiresources.h"
#include "launcher/ui/weblink.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>
#include <cmath>

namespace quarn::launcher {

namespace {

const QString IMAGE_PREFIX = QStringLiteral(":/images/launcher/");

const QString TEXT_STYLE = QStringLiteral("font-family: \"Liberation Sans\"; font-variant: small-caps; "
                                          "font-size: 13px; font-weight: bold; color: #DADABC;");

// Logical size of an image resource (the file at its base name, not a high-density variant).
QSize imageSize(const QString& path) {
    return QImageReader(path).size();
}

QString megabytesText(TFileSize done, TFileSize total) {
    return QStringLiteral("%1/%2 MB")
        .arg(QString::number(static_cast<double>(done) / 1000000.0, 'f', 1),
             QString::number(static_cast<double>(total) / 1000000.0, 'f', 1));
}

} // namespace

TClientPackageLayoutItem::TClientPackageLayoutItem(const std::shared_ptr<TPackage>& package,
                                                   bool showPackageNames)
    : m_Package(package) {
    initializeUiResources();
    // Logo: every variant has the size of the default logo.
    m_LogoLabel = new QLabel();
    m_LogoLabel->setFixedSize(imageSize(IMAGE_PREFIX + QStringLiteral("LauncherLogo_QT.png")));
    updatePackageImageFromPackageStatus();

    m_ActionButton = new QContextPushButton();
    m_ActionButton->setFixedSize(imageSize(IMAGE_PREFIX + QStringLiteral("Button_Blue_idle.png")));
    updateButtonFromPackageStatus();
    connect(m_ActionButton, &QPushButton::clicked, this, [this] { emit buttonClicked(m_Package); });
    connect(m_ActionButton, &QContextPushButton::contextTriggered, this,
            [this](const QString&) { emit verifyButtonClicked(m_Package); });

    m_ProgressBar = new QProgressBar();
    m_ProgressBar->setFixedSize(m_ActionButton->size());
    m_ProgressBar->setRange(0, PROGRESS_SCALE);
    m_ProgressBar->setValue(0);
    m_ProgressBar->setTextVisible(true);
    m_ProgressBar->setAccessibleName(
        tr("Progress of %1").arg(m_Package ? m_Package->packageName() : QString()));
    m_ProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border-image: url(:/images/launcher/ProgressBar_BG.png); "
                       "font-family: \"Liberation Sans\"; font-variant: small-caps; "
                       "font-size: 13px; font-weight: bold; color: #DADABC; "
                       "text-align: center; border-top: 2px; border-left: 2px; "
                       "border-bottom: 2px; border-right: 2px; } "
                       "QProgressBar::chunk { border-image: "
                       "url(:/images/launcher/ProgressBar.png); }"));

    // Names and versions come from the service: they are shown as plain text, never as markup.
    const QString labelStyle = QStringLiteral("QLabel { %1 }").arg(TEXT_STYLE);
    if (showPackageNames) {
        m_NameLabel = new QLabel();
        m_NameLabel->setTextFormat(Qt::PlainText);
        m_NameLabel->setStyleSheet(labelStyle);
    }
    m_VersionLabel = new QLabel();
    m_VersionLabel->setTextFormat(Qt::PlainText);
    m_VersionLabel->setStyleSheet(labelStyle);
    updatePackageNameAndVersion();

    m_DefaultCheckbox = new QCheckBox(tr("Default Client"));
    QSizePolicy checkboxPolicy = m_DefaultCheckbox->sizePolicy();
    checkboxPolicy.setRetainSizeWhenHidden(true);
    m_DefaultCheckbox->setSizePolicy(checkboxPolicy);
    m_DefaultCheckbox->setAccessibleName(
        tr("Default client: %1").arg(m_Package ? m_Package->packageName() : QString()));
    m_DefaultCheckbox->setStyleSheet(
        QStringLiteral(
            "QCheckBox { %1 } "
            "QCheckBox::indicator:unchecked { image: url(:/images/launcher/checkbox-unchecked.png); } "
            "QCheckBox::indicator:checked { image: url(:/images/launcher/checkbox-checked.png); }")
            .arg(TEXT_STYLE));
    connect(m_DefaultCheckbox, &QCheckBox::stateChanged, this, [this](int state) {
        if (state == Qt::Unchecked)
            emit defaultChanged(m_Package, false);
        else if (state == Qt::Checked)
            emit defaultChanged(m_Package, true);
    });

    m_GroupBox = new QGroupBox();
    m_GroupBox->setAlignment(Qt::AlignHCenter);
    m_GroupBox->setAccessibleName(m_Package ? m_Package->packageName() : QString());
    m_GroupBox->setStyleSheet(QStringLiteral(
        "QGroupBox { border-image: url(:/images/launcher/clientpackage-background.png) 16 16 16 16 repeat "
        "repeat; "
        "border-top: 16px transparent; border-left: 16px transparent; border-bottom: 16px transparent; "
        "border-right: 16px transparent; background-attachment: fixed; padding-top: -6px; padding-left: "
        "-2px; "
        "padding-bottom: -8px; padding-right: -2px; }"));
    auto* groupLayout = new QVBoxLayout();
    groupLayout->setSpacing(0);
    // The panel's own borders frame the content; two rows of tiles fit the window's height.
    groupLayout->setContentsMargins(6, 4, 6, 4);
    groupLayout->addWidget(m_ProgressBar, 0, Qt::AlignHCenter);
    groupLayout->addWidget(m_ActionButton, 0, Qt::AlignHCenter);
    groupLayout->addSpacing(6);
    if (m_NameLabel)
        groupLayout->addWidget(m_NameLabel, 0, Qt::AlignHCenter);
    groupLayout->addWidget(m_VersionLabel, 0, Qt::AlignHCenter);
    groupLayout->addWidget(m_DefaultCheckbox, 0, Qt::AlignHCenter);
    m_GroupBox->setLayout(groupLayout);

    addWidget(m_LogoLabel, 0, Qt::AlignTop | Qt::AlignHCenter);
    addSpacing(6);
    addWidget(m_GroupBox, 0, Qt::AlignTop | Qt::AlignHCenter);

    if (m_Package)
        connect(m_Package.get(), &TPackage::localPackageStatusChanged, this,
                &TClientPackageLayoutItem::onLocalPackageStatusChanged);

    m_ProgressBar->hide();
    m_ActionButton->show();
    updateDefaultClientCheckboxFromPackageStatus();
}

TClientPackageLayoutItem::~TClientPackageLayoutItem() {
    disconnectRun();
    // A tile that never became part of a window still owns its widgets.
    if (!m_LogoLabel->parent())
        delete m_LogoLabel;
    if (!m_GroupBox->parent())
        delete m_GroupBox;
}

void TClientPackageLayoutItem::setDefaultClientPackage(bool isDefault) {
    if (m_DefaultCheckbox->isChecked() != isDefault)
        m_DefaultCheckbox->setChecked(isDefault);
}

QString TClientPackageLayoutItem::formatDownloadSpeed(TFileSize bytesPerSecond) const {
    // The unit changes at binary boundaries while the divisors are decimal.
    const double speed = static_cast<double>(bytesPerSecond);
    if (bytesPerSecond >= 1073741825ULL)
        return QStringLiteral("%1 GB/s").arg(QString::number(speed / 1000000000.0, 'f', 1));
    if (bytesPerSecond >= 1048577ULL)
        return QStringLiteral("%1 MB/s").arg(QString::number(speed / 1000000.0, 'f', 1));
    if (bytesPerSecond <= 1024ULL)
        return QStringLiteral("%1 B/s").arg(bytesPerSecond);
    return QStringLiteral("%1 KB/s").arg(QString::number(speed / 1000.0, 'f', 1));
}

TClientPackageLayoutItem::TButtonLook TClientPackageLayoutItem::buttonLook(EPackageStatus status) {
    switch (status) {
    case PACKAGE_STATUS_UNKNOWN:
        return {QStringLiteral("Red"), QString(), {}};
    case PACKAGE_STATUS_NOT_INSTALLED:
        return {QStringLiteral("Blue"), QStringLiteral("Download"), {}};
    case PACKAGE_STATUS_PARTIALLY_INSTALLED:
    case PACKAGE_STATUS_UPDATE_REQUIRED:
        return {QStringLiteral("Orange"), QStringLiteral("Update"), {}};
    case PACKAGE_STATUS_INSTALLED:
    default:
        return {QStringLiteral("Green"), QStringLiteral("Play"), {QStringLiteral("Verify")}};
    }
}

QString TClientPackageLayoutItem::logoVariant(const TPackage& package) {
    const TPackageConfigurationReader* configuration = package.matchingPackageConfiguration();
    if (configuration) {
        if (configuration->clientGeneration() == CLIENT_GENERATION_FIRST)
            return QStringLiteral("Classic");
        switch (configuration->clientVariant()) {
        case CLIENT_VARIANT_TEST:
            return QStringLiteral("Test");
        case CLIENT_VARIANT_BETA:
            return QStringLiteral("Beta");
        case CLIENT_VARIANT_PREVIEW:
            return QStringLiteral("Preview");
        default:
            break;
        }
    }
    return QStringLiteral("QT");
}

QString TClientPackageLayoutItem::logoImagePath(const TPackage& package) {
    const bool installed = package.localPackageStatus() == PACKAGE_STATUS_INSTALLED;
    return IMAGE_PREFIX + QStringLiteral("OrvaneLogo_") + logoVariant(package) +
           (installed ? QString() : QStringLiteral("_disabled")) + QStringLiteral(".png");
}

int TClientPackageLayoutItem::progressValue(TFileSize done, TFileSize total) {
    if (total == 0)
        return 0;
    if (done >= total)
        return PROGRESS_SCALE;
    // Long double keeps 64 bits of mantissa, so even the largest counts divide exactly enough.
    const long double share = static_cast<long double>(done) / static_cast<long double>(total);
    return std::clamp(static_cast<int>(std::lround(share * PROGRESS_SCALE)), 0, PROGRESS_SCALE);
}

QString TClientPackageLayoutItem::remainingTimeText(TFileSize done, TFileSize total,
                                                    TFileSize bytesPerSecond) {
    if (bytesPerSecond == 0 || done >= total)
        return QString();
    // Divided before rounding, so that no sum can wrap around even for the largest counts.
    const TFileSize left = total - done;
    const TFileSize seconds = left / bytesPerSecond + (left % bytesPerSecond != 0 ? 1 : 0);
    if (seconds < 60)
        return tr("About %1 s left").arg(seconds);
    const TFileSize minutes = seconds / 60 + (seconds % 60 >= 30 ? 1 : 0);
    if (minutes < 60)
        return tr("About %1 min left").arg(minutes);
    return tr("About %1 h %2 min left").arg(QString::number(minutes / 60), QString::number(minutes % 60));
}

void TClientPackageLayoutItem::onInstallationOrUpdateStarted(
    const TPackageInstallation& InstallationInProgress) {
    disconnectRun();
    m_Run = &InstallationInProgress;
    m_Downloader = InstallationInProgress.downloader();
    const TFileSize total = m_Downloader ? m_Downloader->totalSizeToDownloadInBytes() : 0;
    const TFileSize done = m_Downloader ? m_Downloader->downloadSizeInBytes() : 0;
    m_ProgressBar->setMaximum(PROGRESS_SCALE);
    m_ProgressBar->setValue(progressValue(done, total));
    m_ProgressBar->setFormat(QString());
    m_ProgressBar->setToolTip(QString());

    // Scan and verification progress come from worker threads.
    m_RunConnections.push_back(connect(&InstallationInProgress, &TPackageInstallation::scanProgress, this,
                                       &TClientPackageLayoutItem::onScanProgress, Qt::QueuedConnection));
    m_RunConnections.push_back(connect(&InstallationInProgress, &TPackageInstallation::writeProgress, this,
                                       &TClientPackageLayoutItem::onWriteProgress, Qt::QueuedConnection));
    m_RunConnections.push_back(connect(&InstallationInProgress, &TPackageInstallation::verificationProgress,
                                       this, &TClientPackageLayoutItem::onVerificationProgress,
                                       Qt::QueuedConnection));
    if (m_Downloader)
        m_RunConnections.push_back(connect(m_Downloader.data(), &TPackageFileDownloader::progress, this,
                                           &TClientPackageLayoutItem::onDownloadProgress));

    m_ActionButton->hide();
    m_ProgressBar->show();
}

void TClientPackageLayoutItem::onInstallationOrUpdateFinished(const TPackageInstallation&) {
    disconnectRun();
    m_ProgressBar->hide();
    m_ActionButton->show();
    m_ProgressBar->setValue(0);
    m_ProgressBar->setFormat(QString());
    m_ProgressBar->setToolTip(QString());
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
}

void TClientPackageLayoutItem::disconnectRun() {
    for (const QMetaObject::Connection& connection : m_RunConnections)
        disconnect(connection);
    m_RunConnections.clear();
    m_Run = nullptr;
    m_Downloader.clear();
}

void TClientPackageLayoutItem::onScanProgress(TFileSize done, TFileSize total) {
    showProgress(done, total, tr("Scanning..."), QString());
}

void TClientPackageLayoutItem::onWriteProgress(TFileSize done, TFileSize total) {
    showProgress(done, total, tr("Writing..."), QString());
}

void TClientPackageLayoutItem::onVerificationProgress(TFileSize done, TFileSize total) {
    showProgress(done, total, tr("Verifying..."), QString());
}

void TClientPackageLayoutItem::onDownloadProgress(TFileSize downloaded, TFileSize totalToDownload,
                                                  TFileSize written, TFileSize totalToWrite) {
    if (!m_Downloader)
        return;
    if (downloaded < totalToDownload) {
        const TFileSize speed = m_Downloader->downloadedBytesPerSecond();
        showProgress(downloaded, totalToDownload, formatDownloadSpeed(speed),
                     remainingTimeText(downloaded, totalToDownload, speed));
    } else {
        showProgress(written, totalToWrite, tr("Writing..."),
                     remainingTimeText(written, totalToWrite, m_Downloader->writtenBytesPerSecond()));
    }
}

void TClientPackageLayoutItem::showProgress(TFileSize done, TFileSize total, const QString& barText,
                                            const QString& toolTip) {
    // Progress queued from a worker thread may arrive after the run has ended; the finished tile
    // keeps its version text then.
    if (!m_Run)
        return;
    m_ProgressBar->setMaximum(PROGRESS_SCALE);
    m_ProgressBar->setValue(progressValue(done, total));
    m_ProgressBar->setFormat(barText);
    m_ProgressBar->setToolTip(toolTip);
    m_VersionLabel->setText(megabytesText(done, total));
}

void TClientPackageLayoutItem::onLocalPackageStatusChanged() {
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
    updateDefaultClientCheckboxFromPackageStatus();
}

void TClientPackageLayoutItem::updatePackageNameAndVersion() {
    if (!m_Package)
        return;
    if (m_NameLabel)
        m_NameLabel->setText(m_Package->packageName());
    const TPackageConfigurationReader* configuration = m_Package->matchingPackageConfiguration();
    m_VersionLabel->setText(configuration ? configuration->packageVersion() : QString());
}

void TClientPackageLayoutItem::updatePackageImageFromPackageStatus() {
    if (!m_Package)
        return;
    const QString path = logoImagePath(*m_Package);
    if (m_Package->logoLinkTarget().isEmpty()) {
        m_LogoLabel->setStyleSheet(QStringLiteral("QLabel { image: url(%1); }").arg(path));
    } else {
        // The link target comes from the service: escaped into the markup, and opened only when
        // it is a web address.
        m_LogoLabel->setTextFormat(Qt::RichText);
        m_LogoLabel->setText(linkedImageHtml(m_Package->logoLinkTarget().toString(), path, false));
        openLabelLinksAsWebLinks(m_LogoLabel);
    }
    m_LogoLabel->setToolTip(plainTextToolTip(m_Package->packageName()));
    m_LogoLabel->setAccessibleName(m_Package->packageName());
}

void TClientPackageLayoutItem::updateButtonFromPackageStatus() {
    const TButtonLook look = buttonLook(m_Package ? m_Package->localPackageStatus() : PACKAGE_STATUS_UNKNOWN);
    m_ActionButton->SetActions(look.contextActions);
    m_ActionButton->setToolTip(look.caption);
    const QString name = m_Package ? m_Package->packageName() : QString();
    m_ActionButton->setAccessibleName(
        look.caption.isEmpty() ? name : QStringLiteral("%1 %2").arg(look.caption, name));
    m_ActionButton->setFixedSize(98, 40);
    m_ActionButton->setStyleSheet(
        QStringLiteral(
            "QPushButton { border-image: url(:/images/launcher/Button_%1_idle.png) 4 4 4 4 repeat scale; "
            "border-top: 4px transparent; border-left: 4px transparent; border-bottom: 4px transparent; "
            "border-right: 4px transparent; image: url(:/images/launcher/Icon_%2.png); } "
            "QPushButton:hover { border-image: url(:/images/launcher/Button_%1_hover.png) 4 4 4 4 repeat "
            "scale; "
            "border-top: 4px transparent; border-left: 4px transparent; border-bottom: 4px transparent; "
            "border-right: 4px transparent; } "
            "QPushButton:pressed { border-image: url(:/images/launcher/Button_%1_pressed.png) 4 4 4 4 repeat "
            "scale; border-top: 4px transparent; border-left: 4px transparent; border-bottom: 4px "
            "transparent; "
            "border-right: 4px transparent; padding-top: 1px; padding-left: 1px; padding-bottom: -1px; "
            "padding-right: -1px; } "
            "QToolTip { border: 1px solid black; background: #c0c0c0; padding-top: 1px; padding-left: 1px; "
            "padding-bottom: 1px; padding-right: 1px; font-family: \"Liberation Sans\"; font-variant: "
            "small-caps; "
            "font-size: 11px; font-weight: bold; color: #3F3F3F; }")
            .arg(look.colour, look.caption));
}

void TClientPackageLayoutItem::updateDefaultClientCheckboxFromPackageStatus() {
    m_DefaultCheckbox->setVisible(m_Package && m_Package->localPackageStatus() == PACKAGE_STATUS_INSTALLED);
}

} // namespace quarn::launcher
