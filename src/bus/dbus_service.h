#pragma once

// The engine's command channel for other programs: a service on the session
// bus that hands a command id to the window as a menu item would, starts and
// stops recordings, takes the capture file's name, and shows the engine's
// state as read-only properties whose changes it signals. The interface is
// described in com.lumetra.Vemo.Engine.xml beside this file.

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/engine_bus_names.h"
#include "camera/camera_controls.h"
#include "camera/offered_format.h"

namespace vemo {

// What a question about the camera gets: the text to return, or (ok false)
// the refusal to send as an error: com.lumetra.Vemo.Error.Refused, or, for a
// value that is malformed or outside what it may be (the caller's mistake,
// not the engine's state), org.freedesktop.DBus.Error.InvalidArgs.
// A refusal may also carry another error's name (`error`): Cancelled or
// Waiting. An answer with a typed `value` sends that rather than the text.
struct DBusAnswer {
    bool ok = true;
    std::string text;
    bool invalid_value = false;
    const char* error = nullptr;
    QVariant value{};
};

// What the engine shows as properties; a change to any is signalled.
struct EngineProperties {
    bool ready = false;  // start-up is done
    std::string status;
    std::string settings_path;
    std::string capture_file;
    // idle, held, running, finishing; idle while the engine starts.
    std::string recording_state = "idle";
    bool camera_publishing = false;
    std::uint32_t camera_timer = 0;
    std::string camera_device;
    bool screen_publishing = false;
    std::uint32_t screen_timer = 0;
    std::string screen_backend;
    // The box or dialog that waits for an answer; empty when none does.
    std::string waiting_title;
    std::string waiting_text;

    bool operator==(const EngineProperties&) const = default;
};

// Answers a call later, once what it started is done.
using DBusLaterAnswer = std::function<void(const DBusAnswer&)>;

struct DBusServiceCallbacks {
    // Runs on the event loop once the caller has had its answer.
    std::function<void(int id)> command;
    // nullopt when the name is taken, else the text that refuses it.
    std::function<std::optional<std::string>(const std::string& path)> set_capture_file_name;
    std::function<QString()> status_text;
    // The chosen camera's controls and formats, one per line, and changes to
    // them as the Properties dialogs make them.
    std::function<DBusAnswer()> camera_controls;
    std::function<DBusAnswer(std::vector<CameraControl>& controls)> camera_control_list;
    std::function<DBusAnswer(std::vector<OfferedFormat>& formats)> camera_format_list;
    std::function<DBusAnswer(const std::string& name, const std::string& value)> set_camera_control;
    std::function<DBusAnswer()> camera_formats;
    std::function<DBusAnswer(const std::string& format)> set_camera_format;
    // The settings file was changed: apply it as the dialogs' OK would; a
    // change that could not take effect is refused with why.
    std::function<DBusAnswer()> reload_settings;
    // The absolute path of the settings file the engine reads, so that a
    // program writing settings writes that one.
    std::function<std::string()> settings_file;
    // The file a recording runs into, or empty while none runs.
    std::function<std::string()> recording_file;
    // A recording started (asking for the go-ahead unless told not to) and
    // stopped; each answers when done: the file, the statistics line.
    std::function<void(bool without_go_ahead, DBusLaterAnswer done)> start_recording;
    std::function<void(DBusLaterAnswer done)> stop_recording;
    std::function<EngineProperties()> properties;
    // Until start-up is done, the refusal (a Waiting error) for every call
    // that needs the engine; nullopt once the engine takes them.
    std::function<std::optional<std::string>()> starting;
};

class DBusService : public QDBusVirtualObject {
  public:
    DBusService(DBusServiceCallbacks callbacks, QDBusConnection connection,
                QObject* parent = nullptr);
    ~DBusService() override;
    DBusService(const DBusService&) = delete;
    DBusService& operator=(const DBusService&) = delete;

    // Exports the object and takes the name; on failure leaves nothing
    // registered and returns why.
    std::optional<QString> Register();

    // Emits StatusTextChanged(text).
    void NotifyStatusText(const QString& text);
    // Something the properties show may have changed: they are compared with
    // those last told, once the event loop runs, and the changed ones sent
    // in PropertiesChanged.
    void NotifyPropertiesMayHaveChanged();

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    void AnswerCommand(const QDBusMessage& message);
    void AnswerSetCaptureFileName(const QDBusMessage& message);
    void AnswerStatusText(const QDBusMessage& message);
    // A method with `signature` answered by `answer` (its arguments as strings):
    // its text, or the refusal as an error.
    void AnswerText(const QDBusMessage& message, const char* signature,
                    const std::function<DBusAnswer(const QStringList& arguments)>& answer);
    void AnswerProperties(const QDBusMessage& message);
    std::optional<QStringList> ArgumentsAsText(const QDBusMessage& message, const char* signature);
    void AnswerLater(const QDBusMessage& message, const char* signature,
                     const std::function<void(const QStringList&, DBusLaterAnswer)>& start);
    QDBusMessage ReplyTo(const QDBusMessage& message, const DBusAnswer& answered,
                         const QVariant& value) const;
    void Reply(const QDBusMessage& call, const QDBusMessage& reply);
    void SendChangedProperties();

    DBusServiceCallbacks callbacks_;
    QDBusConnection connection_;
    bool object_registered_ = false;
    bool name_taken_ = false;
    std::optional<EngineProperties> told_;
    bool comparison_queued_ = false;
};

// The service on the session bus; it leaves the bus when it goes. Without a
// bus, or with the name held by another program, it says so once on stderr
// and returns null: the engine runs on without it.
std::unique_ptr<DBusService> StartDBusService(DBusServiceCallbacks callbacks);

}  // namespace vemo
