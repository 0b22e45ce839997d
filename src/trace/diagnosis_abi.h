/*
 * diagnosis_abi.h - the C interface between the module and libqxdiagnosis.so.
 *
 * The library exports one function, CreateDiagnosisObjectW, which makes a diagnostics object
 * for a host process. The object starts with a pointer to its function table; the caller owns
 * the object and ends it with Destroy. WriteTrace may be called from any thread at once; the
 * other operations from one thread at a time. A caller uses a table only when its version is
 * QX_DIAGNOSIS_ABI_VERSION and its size covers the functions it calls.
 *
 *   QxDiagnosisObject* object = create(u"QXAgent.exe", notify);
 *   object->functions->WriteTrace(object, 0x1, 0x4, "<doRPCCommand>...</doRPCCommand>");
 *   object->functions->Destroy(object);
 */
#ifndef QX_DIAGNOSIS_ABI_H
#define QX_DIAGNOSIS_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
typedef char16_t QxDiagnosisChar;
#else
typedef uint16_t QxDiagnosisChar;
#endif

/* The library's SONAME: the module loads it by its versioned name, so only the runtime package
 * is needed (src/diagnosis/CMakeLists.txt checks that the two agree). */
#define QX_DIAGNOSIS_LIBRARY_NAME "libqxdiagnosis.so.0"
#define QX_DIAGNOSIS_ENTRY_POINT "CreateDiagnosisObjectW"
#define QX_DIAGNOSIS_ABI_VERSION 1u

typedef struct QxDiagnosisObject QxDiagnosisObject;

typedef struct QxDiagnosisFunctions {
  uint32_t size;    /* sizeof(QxDiagnosisFunctions) of the library */
  uint32_t version; /* QX_DIAGNOSIS_ABI_VERSION */
  /* Ends the object; it must not be used afterwards. */
  void (*Destroy)(QxDiagnosisObject* object);
  /* Writes one line (UTF-8, without line end) of a type and a level; 0 when it was written. */
  int32_t (*WriteTrace)(QxDiagnosisObject* object, uint32_t type, uint32_t level,
                        const char* utf8Text);
  /* The masks configured for the host: a line is wanted when type & typeMask and
   * level & levelMask are both non-zero. */
  uint32_t (*GetTypeMask)(QxDiagnosisObject* object);
  uint32_t (*GetLevelMask)(QxDiagnosisObject* object);
} QxDiagnosisFunctions;

struct QxDiagnosisObject {
  const QxDiagnosisFunctions* functions;
};

/* Tells the host of an event of the library (QX_DIAGNOSIS_EVENT_...). The library may call it
 * from any thread; the module passes a function that does nothing. */
typedef void (*QxDiagnosisNotify)(uint32_t event);
#define QX_DIAGNOSIS_EVENT_MASKS_CHANGED 1u

/* hostName: the host's name ("QXAgent.exe", "QXProjectMgr.exe", "QXRemoteServer.dll"), NUL
 * terminated UTF-16; notify may be NULL. Returns the object, or NULL when none can be made. */
typedef QxDiagnosisObject* (*QxCreateDiagnosisObjectFunction)(const QxDiagnosisChar* hostName,
                                                              QxDiagnosisNotify notify);

#ifdef __cplusplus
}
#endif

#endif /* QX_DIAGNOSIS_ABI_H */
