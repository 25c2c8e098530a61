#pragma once

#include <QString>

namespace controller {

// How this Kestrel starts the local web service. An installed Kestrel (one
// that runs from the install's program folder) whose install has the web
// service's systemd user unit starts that unit, with the address and port in
// the unit's options file; any other (a build folder's, also beside an
// installed one) starts the service program beside itself.
class ServiceInstall {
public:
    // The unit that runs the web service for the user.
    static constexpr const char* unitName = "kestrel-service.service";
    // The variable of the options file that the unit passes to "serve".
    static constexpr const char* optionsVariable = "KESTREL_SERVE_OPTIONS";
    // The largest options file read; a larger one is left alone.
    static constexpr qint64 maxOptionsFileBytes = 64 * 1024;

    // This run's folder, the install's program folder and unit file.
    ServiceInstall();
    // Tests name their own folders and unit file.
    ServiceInstall(QString programFolder, QString installFolder, QString unitFile);

    // Runs from the install's program folder.
    bool installed() const;
    // Installed with the user unit: the service is started through it.
    bool usesUserUnit() const;
    // The service program beside this one (the installed one when installed).
    QString serviceProgram() const;
    // The command with which the user starts the service; network: so
    // that phones on this network reach it.
    QString startCommand(bool network) const;

    // The options file the user unit reads, in the user's config folder.
    static QString optionsFile();
    // Puts "KESTREL_SERVE_OPTIONS=options" into the options file in place of
    // any such line, after a comment that says Kestrel writes it; every other
    // line stays. False, and why in *error, when it cannot be written.
    static bool writeServeOptions(const QString& options, QString* error);

private:
    QString m_programFolder;
    QString m_installFolder;
    QString m_unitFile;
};

} // namespace controller
