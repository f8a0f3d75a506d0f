#pragma once

#include "launcher/configuration/launcherconfiguration.h"
#include "launcher/configuration/package.h"
#include "launcher/ui/draggablemainwindow.h"
#include "shared/randomhints.h"

#include <QMap>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class QGridLayout;
class QGroupBox;
class QLabel;
class QScrollArea;
class QSpacerItem;
class QVBoxLayout;

namespace shared {
class TDownloadPool;
class QTextBrowserWithNetwork;
} // namespace shared

namespace quarn::launcher {

class TClientPackageLayoutItem;
class TCloudflareCdnTrace;
class TInstallationManager;
class TPackageInstallation;

// The launcher's only window: a tile per client package (four to a row; the tile area scrolls
// when there are more than two rows), the row of three hint tiles and a footer with the maker's
// logo, two social links, an About link and the launcher version. It relays the tiles' requests
// to the controller through its signals, keeps at most one tile marked as the default client,
// follows the installation manager's runs and reports failed runs, with the CDN diagnosis when
// downloads failed.
class TLauncherMainWindow : public TDraggableMainWindow {
    Q_OBJECT
public:
    static const char MAKER_WEB_SITE[];
    static const char TWITTER_PAGE[];
    static const char DISCORD_INVITATION[];
    static const char LICENCE_ADDRESS[];
    static const char QT_SOURCE_ADDRESS[];
    // Limits of one hint picture: the fetch is given up after this time or beyond this size, and
    // pictures larger than this many pixels are not decoded.
    static constexpr int HINT_PICTURE_TIMEOUT_MS = 10000;
    static constexpr qint64 HINT_PICTURE_MAX_BYTES = 4 * 1024 * 1024;
    static constexpr qint64 HINT_PICTURE_MAX_PIXELS = 4096 * 4096;

    TLauncherMainWindow(const TPackageVector& packages, const TInstallationManager& installationManager,
                        bool showPackageNames, std::shared_ptr<::shared::TDownloadPool> downloadPool,
                        std::shared_ptr<TCloudflareCdnTrace> cdnTrace,
                        std::shared_ptr<TLauncherConfigurationReader> launcherConfiguration);
    ~TLauncherMainWindow() override;

    int defaultPackageIdentifier() const { return m_DefaultPackageIdentifier; }
    const std::map<int, TClientPackageLayoutItem*>& tiles() const { return m_Tiles; }
    QGridLayout* tileGrid() const { return m_TileGrid; }
    QScrollArea* tileScrollArea() const { return m_TileScrollArea; }
    QMessageBox* errorMessageBox() const { return m_ErrorMessageBox; }
    QGroupBox* hintArea() const { return m_HintArea; }
    QWidget* hintsRow() const { return m_HintsRow; }
    // The tile wrapper of "cat1", "cat2" or "cat3".
    QWidget* hintWrapper(const QString& category) const { return m_HintWrappers.value(category); }
    bool hasHintSpacer() const { return m_HintSpacer != nullptr; }
    void setHintPictureTimeout(int milliseconds) { m_HintPictureTimeoutMs = milliseconds; }

signals:
    void defaultChanged(std::shared_ptr<quarn::launcher::TPackage> pPackage, bool IsDefault);
    void clientPackageButtonClicked(std::shared_ptr<quarn::launcher::TPackage> pPackage);
    void clientPackageVerifyButtonClicked(std::shared_ptr<quarn::launcher::TPackage> pPackage);

public slots:
    void setHint(const ::shared::THint& Hint);
    void setHints(std::vector<::shared::THint> Hints);
    void onDefaultClientPackageCheckboxChanged(std::shared_ptr<quarn::launcher::TPackage> pPackage,
                                               bool IsDefault);
    void setDefault(std::shared_ptr<quarn::launcher::TPackage> pPackage, bool IsDefault);
    void onInstallationOrUpdateStarted(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void onInstallationOrUpdateFinished(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void onAboutDialogRequested(const QString& link);

private:
    QLabel* createAboutDialogLabel();
    QLabel* createLauncherVersion();
    QLabel* createLinkedLabel(const QString& image, const QString& link, const QString& toolTip);
    QLabel* createKettrelLabel();
    void showPackageDownloadErrorMessage();
    void showDownloadErrorMessage(const QString& packageName);
    void showInstallationFailedMessage(const QString& packageName, const QString& reason);
    void ensureErrorMessageBox();
    void fitTileArea(int packageCount);
    TClientPackageLayoutItem* tileOf(const TPackageInstallation& run) const;

    // Hint area.
    QGroupBox* createHintArea();
    ::shared::QTextBrowserWithNetwork* createHint(const QString& category);
    QWidget* createHintWrapper(QWidget* widget);
    // Builds the tile of one hint inside the wrapper; false when the window went away while the
    // picture was being fetched.
    bool createHintInParent(const ::shared::THint& hint, QWidget* wrapper);
    QPixmap fetchHintPicture(const QString& imageUrl, bool& windowAlive);
    static void clipWidgetRight(QWidget* widget);
    static void clipWidgetLeftAndRight(QWidget* widget);
    static void clipWidgetLeft(QWidget* widget);

    std::shared_ptr<TLauncherConfigurationReader> m_LauncherConfiguration;
    std::map<int, TClientPackageLayoutItem*> m_Tiles;
    QSpacerItem* m_HintSpacer = nullptr;
    QVBoxLayout* m_MainLayout = nullptr;
    QGroupBox* m_HintArea = nullptr;
    QWidget* m_HintsRow = nullptr;
    QMap<QString, QWidget*> m_HintWrappers;
    QMap<QString, QWidget*> m_HintContainers;
    QPointer<QMessageBox> m_ErrorMessageBox;
    int m_DefaultPackageIdentifier = -1;
    std::shared_ptr<::shared::TDownloadPool> m_DownloadPool;
    std::shared_ptr<TCloudflareCdnTrace> m_CdnTrace;

    QGridLayout* m_TileGrid = nullptr;
    QScrollArea* m_TileScrollArea = nullptr;
    // The failed package whose download message waits for the CDN trace, and that wait.
    QString m_PackageAwaitingDiagnosis;
    QMetaObject::Connection m_TraceConnection;
    int m_HintPictureTimeoutMs = HINT_PICTURE_TIMEOUT_MS;
    bool m_SettingHints = false;
};

} // namespace quarn::launcher
