#pragma once

class QCoreApplication;

// Makes SIGTERM and SIGINT quit the application's event loop, so that the
// usual shutdown (aboutToQuit and everything connected to it) runs.
void quitOnTerminationSignals(QCoreApplication *app);
