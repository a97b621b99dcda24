#pragma once
// Every object that lives once per process, with the thread that owns it, its
// lifetime and who may touch it. Nothing else in the program is process-wide;
// an object added here needs a reason a plain reference cannot serve.
//
// object                  defined in                  owner / lifetime / who touches it
// ----------------------  --------------------------  -----------------------------------------------------------
// Dvb                     app/ProcessWide.cpp         the program's card table. Filled and emptied on the main
//                                                     (window) thread by the card check and the close; static
//                                                     lifetime. Only the program entry names it: everyone else is
//                                                     handed it as TDevicePlugin&.
// the loaded plug-in      device/DevicePlugin.cpp     one card library at a time; loaded and unloaded with the
//   library, CardOpen                                 table on the main thread; never unloaded at exit, so a card
//                                                     still delivering keeps its code. CardOpen: whether the check's
//                                                     DVBOpen succeeded (atomic, main thread writes). The
//                                                     reason of the last failed load: main thread only.
// Recording, the capture  capture/CaptureSession.cpp  the packet callback has no context argument, so it reaches the
//   target                                            running capture through these. Written by the recording run
//                                                     on the main thread at start and stop; read by the card's
//                                                     delivery thread (atomics). Static lifetime. With them
//                                                     the count of packets delivered: the delivery thread
//                                                     counts, the headless recorder reads (atomic).
// ActiveSections,         scan/Sections.cpp           the section callback's way to its objects, for the same
//   SectionLock                                       reason. Sections add and remove themselves (scan thread);
//                                                     the delivery thread reads under SectionLock. Static lifetime.
// ScanResult              scan/TransponderScan.cpp    the last scan's table, written by the scan on the thread that
//                                                     runs it (the window thread or the headless main thread);
//                                                     zeroed at program load. Read by the same thread only.
// ProgramGraph()          app/VideoGraphHolder.cpp    the video graph holder: created at program load on the main
//                                                     thread, torn down at exit; it never holds a graph.
// the message function    ui/controls/MessageBox.cpp  the windows' one way to tell the user something; replaced by
//                                                     tests. Window thread only.
// HeadlessOutput()        app/OutputWriter.cpp        the headless recorder's standard output and error: made at
//                                                     first use, never destroyed, written by a thread of its own
//                                                     that alone may block; any thread queues lines.
// SIGPIPE disposition     server/SocketsStartup.cpp   ignored at start-up by the program entry, before any thread.
#include "app/VideoGraphHolder.h"
#include "capture/CaptureSession.h"
#include "device/DevicePlugin.h"
#include "scan/Sections.h"
#include "scan/TransponderScan.h"

// The nine operations of the program's card plug-in; all null while none is
// loaded.
extern TDevicePlugin Dvb;
