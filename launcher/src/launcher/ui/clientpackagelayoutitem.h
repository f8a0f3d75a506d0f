#pragma once

#include "launcher/configuration/package.h"
#include "launcher/download/filesize.h"

#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVBoxLayout>

#include <memory>
#include <vector>

class QCheckBox;
class QContextPushButton;
class QGroupBox;
class QLabel;
class QProgressBar;

namespace quarn::launcher {

class TPackageFileDownloader;
class TPackageInstallation;

// The tile of one client package in the main window: its logo, one action button whose colour and
// icon follow the installation status (download, update, play; "Verify" in its context menu), a
// progress bar that takes the button's place while a run is in progress, the package name
// (optional) and version, and the default-client checkbox.
class TClientPackageLayoutItem : public QVBoxLayout {
    Q_OBJECT
public:
    // The progress bar always runs from 0 to this value, whatever the byte counts.
    static constexpr int PROGRESS_SCALE = 10000;

    // How the action button looks for one status.
    struct TButtonLook {
        QString colour;
        QString caption;
        QStringList contextActions;
    };

    TClientPackageLayoutItem(const std::shared_ptr<TPackage>& package, bool showPackageNames);
    ~TClientPackageLayoutItem() override;

    // Checks or clears the default checkbox; nothing happens when it already has that state.
    void setDefaultClientPackage(bool isDefault);
    QString formatDownloadSpeed(TFileSize bytesPerSecond) const;

    static TButtonLook buttonLook(EPackageStatus status);
    // "Classic", "Test", "Beta", "Preview" or "QT", from the package configuration of the build
    // for this machine.
    static QString logoVariant(const TPackage& package);
    static QString logoImagePath(const TPackage& package);
    // done / total on the bar's scale: 0 for a total of 0, PROGRESS_SCALE when done exceeds total.
    static int progressValue(TFileSize done, TFileSize total);
    // "About 3 min left" and the like; empty when the speed is unknown (0) or nothing is left.
    static QString remainingTimeText(TFileSize done, TFileSize total, TFileSize bytesPerSecond);

    const std::shared_ptr<TPackage>& package() const { return m_Package; }
    QCheckBox* defaultCheckbox() const { return m_DefaultCheckbox; }
    QLabel* logoLabel() const { return m_LogoLabel; }
    QLabel* nameLabel() const { return m_NameLabel; }
    QLabel* versionLabel() const { return m_VersionLabel; }
    QContextPushButton* actionButton() const { return m_ActionButton; }
    QProgressBar* progressBar() const { return m_ProgressBar; }
    QGroupBox* groupBox() const { return m_GroupBox; }

signals:
    void defaultChanged(std::shared_ptr<quarn::launcher::TPackage> pPackage, bool IsDefault);
    void buttonClicked(std::shared_ptr<quarn::launcher::TPackage> pPackage);
    void verifyButtonClicked(std::shared_ptr<quarn::launcher::TPackage> pPackage);

public slots:
    void onInstallationOrUpdateStarted(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void onInstallationOrUpdateFinished(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void onLocalPackageStatusChanged();
    void updatePackageNameAndVersion();
    void updatePackageImageFromPackageStatus();
    void updateButtonFromPackageStatus();
    void updateDefaultClientCheckboxFromPackageStatus();

private:
    void onScanProgress(TFileSize done, TFileSize total);
    void onWriteProgress(TFileSize done, TFileSize total);
    void onVerificationProgress(TFileSize done, TFileSize total);
    void onDownloadProgress(TFileSize downloaded, TFileSize totalToDownload, TFileSize written,
                            TFileSize totalToWrite);
    void showProgress(TFileSize done, TFileSize total, const QString& barText, const QString& toolTip);
    void disconnectRun();

    std::shared_ptr<TPackage> m_Package;
    QCheckBox* m_DefaultCheckbox = nullptr;
    QLabel* m_LogoLabel = nullptr;
    QLabel* m_NameLabel = nullptr;
    QLabel* m_VersionLabel = nullptr;
    QContextPushButton* m_ActionButton = nullptr;
    QProgressBar* m_ProgressBar = nullptr;
    QGroupBox* m_GroupBox = nullptr;
    // The run shown on the bar; its progress signals are connected only while it runs.
    const TPackageInstallation* m_Run = nullptr;
    QPointer<TPackageFileDownloader> m_Downloader;
    std::vector<QMetaObject::Connection> m_RunConnections;
};

} // namespace quarn::launcher
