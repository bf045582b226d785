#pragma once
// What the records page shows about the sessions on the card, and the work
// behind it that must stay off the GUI thread: listing the card, reading a
// session's meta.yaml and size, decoding thumbnails and depth images, and
// checking sessions. The page runs these functions on TaskThreads of its own;
// it never touches files on the GUI thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
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
    enum class Check { NotChecked, Passed, Failed } check = Check::NotChecked;
    int problems = 0;
};

// Fills date, scene, task, part and session time from the folder names
// (<date>-<city>-<scene>/<task>[/<part>]/<session time>).
SessionRow sessionRowFromPath(const QString& storageRoot, const QString& path);

struct SessionDetails {
    QString date, scene, task, part;  // from meta.yaml; empty when it cannot be read
    int frameSets = 0;
    qint64 sizeBytes = 0;
    QImage thumbnail;                 // first colour image, small; a placeholder when none can be shown
};

// One image of the session view's grid.
struct SessionImage {
    QString colourFile;  // relative to the session folder
    QString depthFile;   // empty when there is none
    QStringList tags;    // from manifest.json
    QImage thumbnail;
};

inline constexpr int kThumbnailWidth = 160;

// Every session folder below storageRoot, newest first (by session time).
QStringList scanSessions(const QString& storageRoot);
// meta.yaml's labels, frame sets, size and the first colour image's thumbnail.
SessionDetails loadSessionDetails(const QString& path);
// The images of the session view, at most kMaxGridImages (every n-th frame
// set of a longer session), one by one to `deliver` while keepGoing() holds.
void loadSessionImages(const QString& path, const std::function<bool()>& keepGoing,
    const std::function<void(SessionImage)>& deliver);

// A thread that runs the tasks posted to it one after another, in order.
// Destruction drops the tasks still waiting and joins the thread.
class TaskThread {
public:
    TaskThread();
    ~TaskThread();
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;

    void post(std::function<void()> task);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;  // guarded by mutex_
    bool stopping_ = false;                    // guarded by mutex_
    std::thread thread_;
};

// A thumbnail kThumbnailWidth wide of an image file (camera JPEG or PNG);
// null when it cannot be read, its header does not fit or it does not decode.
QImage thumbnailOf(const std::string& file, int width);
// What a row or grid cell shows for an image that cannot be shown.
QImage placeholderThumbnail(int width);
// Depth in millimetres as colours, near warm and far cool; no depth is black.
QImage colourisedDepth(const std::string& file);
// Deletes a session folder and then the folders above it that it leaves
// empty, never the storage root itself; false (with error) when it fails.
bool removeSessionFolder(const std::string& storageRoot, const std::string& session, std::string& error);
