/* A C program that drives the module through its public header only. Exits non-zero on the
 * first failed check, naming it. */
#include <stdio.h>
#include <string.h>

#include "qxremoteserver.h"

static int failures = 0;

#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

/* UTF-16 literals without the C11 u"" prefix's char16_t type: one unit per ASCII byte. */
static void Widen(const char* text, OLECHAR* out, size_t capacity) {
  size_t i = 0;
  for (; text[i] != '\0' && i + 1 < capacity; ++i) out[i] = (OLECHAR)(unsigned char)text[i];
  out[i] = 0;
}

static int EqualsAscii(BSTR text, const char* expected) {
  size_t length = strlen(expected);
  if (SysStringLen(text) != length) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != (OLECHAR)(unsigned char)expected[i]) return 0;
  }
  return text[length] == 0;
}

int main(void) {
  OLECHAR message[64];
  OLECHAR tag[16];
  OLECHAR broken[16];
  BSTR answer = NULL;

  Widen("<A><B>x</B></A>", message, 64);
  Widen("b", tag, 16);
  CHECK(GetXMLSubText(message, tag, &answer) == 0);
  CHECK(answer != NULL && EqualsAscii(answer, "x"));
  SysFreeString(answer);

  answer = NULL;
  Widen("C", tag, 16);
  CHECK(GetXMLSubText(message, tag, &answer) == (HRESULT)0x80004005);
  CHECK(answer == NULL);

  Widen("<A><B>x</", broken, 16);
  CHECK(GetXMLSubText(message, tag, NULL) == (HRESULT)0x80004003);
  CHECK(GetXMLSubText(broken, tag, NULL) == (HRESULT)0x80004003);
  CHECK(GetXMLSubText(broken, tag, &answer) == (HRESULT)0x80004005);
  CHECK(answer == NULL);

  /* A lone surrogate is refused. */
  message[3] = 0xD800;
  Widen("B", tag, 16);
  CHECK(GetXMLSubText(message, tag, &answer) == (HRESULT)0x80070057);

  /* Null handles. */
  CHECK(StopRemoteServer(NULL) == (HRESULT)0x80004003);
  CHECK(TalkByString(NULL, message, &answer) == (HRESULT)0x80004003);
  CHECK(onReceiveMulticast(NULL, message) == (HRESULT)0x80004003);

  /* The BSTR allocator. */
  answer = SysAllocStringLen(NULL, 3);
  CHECK(answer != NULL && SysStringLen(answer) == 3 && answer[3] == 0);
  SysFreeString(answer);
  SysFreeString(NULL);

  if (failures == 0) printf("all C interface checks passed\n");
  return failures == 0 ? 0 : 1;
}
