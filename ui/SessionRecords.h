#pragma once
// What the records page shows about the sessions on the card, and the work
// behind it that must stay off the GUI thread: listing the card, reading a
// session's meta.yaml and size, decoding thumbnails and depth images, and
// checking sessions. SessionRecordsWorker runs on a thread of its own and
// answers each request with a queued signal; the page never touches files.

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include "SessionCheck.h"

// One session as the list shows it. Fields read from the folder's path are
// there at once; the others arrive with SessionDetails and the check.
struct SessionRow {
    QString path;          // absolute session folder
    QString relative;      // below the storage root, as the ledger names it
    QString date, scene, task, part, sessionTime;
    int frameSets = -1;    // -1: not read yet
    qint64 sizeBytes = -1;
    QImage thumbnail;
    bool detailsRequested = false;
    enum class Check { NotChecked, Checking, Passed, Failed } check = Check::NotChecked;
    int problems = 0;
};

// Fills date, scene, task, part and session time from the folder names
// (<date>-<city>-<scene>/<task>[/<part>]/<session time>).
SessionRow sessionRowFromPath(const QString& storageRoot, const QString& path);

struct SessionDetails {
    QString date, scene, task, part;  // from meta.yaml; empty when it cannot be read
    int frameSets = 0;
    qint64 sizeBytes = 0;
    QImage thumbnail;                 // first colour image, small; null when none decodes
};

// One image of the session view's grid.
struct SessionImage {
    QString colourFile;  // relative to the session folder
    QString depthFile;   // empty when there is none
    QStringList tags;    // from manifest.json
    QImage thumbnail;
};

Q_DECLARE_METATYPE(SessionDetails)
Q_DECLARE_METATYPE(SessionImage)
Q_DECLARE_METATYPE(session_check::SessionReport)

// Lives on its own thread; every slot is reached through a queued call.
class SessionRecordsWorker : public QObject {
    Q_OBJECT
public:
    static constexpr int kThumbnailWidth = 160;

    // Bumped by the page when it leaves a session view: image loads of older
    // views stop early.
    std::atomic<int> viewGeneration{0};
    // Bumped when the page is hidden: checks asked for earlier are dropped,
    // and one running stops, so they never compete with a recording.
    std::atomic<int> checkGeneration{0};

public slots:
    void scan(const QString& storageRoot);
    void loadDetails(const QString& path);
    void check(const QString& path, int generation);
    void loadImages(const QString& path, int generation);
    void loadDepth(const QString& path, const QString& depthFile, int generation);

signals:
    void scanned(const QStringList& sessionsNewestFirst);
    void detailsLoaded(const QString& path, const SessionDetails& details);
    void checked(const QString& path, const session_check::SessionReport& report);
    void imageLoaded(const QString& path, int generation, const SessionImage& image);
    void depthLoaded(const QString& path, int generation, const QImage& colourised);
};

// A thumbnail kThumbnailWidth wide of an image file (camera JPEG or PNG);
// null when it does not decode.
QImage thumbnailOf(const std::string& file, int width);
// Depth in millimetres as colours, near warm and far cool; no depth is black.
QImage colourisedDepth(const std::string& file);
// Deletes a session folder and then the folders above it that it leaves
// empty, never the storage root itself; false (with error) when it fails.
bool removeSessionFolder(const std::string& storageRoot, const std::string& session, std::string& error);
