/*
 * qxremoteserver.h - the C interface of libqxremoteserver.so.
 *
 * A station's host processes (qxagent, qxprojectmgr) drive the module through these eleven
 * functions. Texts are UTF-16 (OLECHAR); every answer is a BSTR that the module allocates and
 * the caller frees with SysFreeString. All functions may be called from any thread.
 *
 *   BSTR text = NULL;
 *   if (GetXMLSubText(u"<A><B>x</B></A>", u"b", &text) == 0) { use(text); SysFreeString(text); }
 */
#ifndef QXREMOTESERVER_H
#define QXREMOTESERVER_H

#include <stdint.h>

#if defined(__GNUC__)
#define QX_EXPORT __attribute__((visibility("default")))
#else
#define QX_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif

typedef int32_t HRESULT;
typedef OLECHAR* BSTR;

/* Progress of RemoteCopyFile: code 10 (opened, value 0), 11 (after each block, bytes so far),
 * 12 (done, bytes in all). Returning 1 breaks the copy off. */
typedef int32_t (*QXProgressCallback)(int32_t code, int32_t value);

/* A library function that a REMOTECALL request may call. It writes its answer, allocated with
 * SysAllocString, through answer (which may be NULL); parameter may be NULL. */
typedef HRESULT (*QXRemoteFunction)(BSTR parameter, BSTR* answer);

/* Service names: the discovery service and the project-manager service. */
#define QX_SERVICE_DISCOVERY u"E5C46732-E547-4867-9100-B99D57B8B2EC"
#define QX_SERVICE_PROJECT_MANAGER u"D41CAB86-77B0-4081-8404-E75568C24F98"

QX_EXPORT HRESULT StartRemoteServer(const OLECHAR* serviceName, void** server);
QX_EXPORT HRESULT StopRemoteServer(void* server);
QX_EXPORT HRESULT RemoteCommand(const OLECHAR* command, BSTR* answer);
QX_EXPORT HRESULT DiscoverCommand(const OLECHAR* command, BSTR* answer);
QX_EXPORT int32_t RemoteCopyFile(const OLECHAR* command, QXProgressCallback progress);
QX_EXPORT HRESULT RemoteCallProc(const OLECHAR* command, BSTR* answer);
QX_EXPORT HRESULT GetXMLSubText(const OLECHAR* text, const OLECHAR* tag, BSTR* subText);
QX_EXPORT HRESULT GetStateOfNorvaneMachine(const OLECHAR* host, BSTR* answer);
QX_EXPORT HRESULT GetStateOfNorvaneProject(const OLECHAR* path, BSTR* answer);
QX_EXPORT HRESULT onReceiveMulticast(void* server, const OLECHAR* text);
QX_EXPORT HRESULT TalkByString(void* server, const OLECHAR* command, BSTR* answer);

QX_EXPORT BSTR SysAllocString(const OLECHAR* text);
QX_EXPORT BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
QX_EXPORT uint32_t SysStringLen(BSTR text);
QX_EXPORT void SysFreeString(BSTR text);

#ifdef __cplusplus
}
#endif

#endif /* QXREMOTESERVER_H */
