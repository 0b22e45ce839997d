/*
 * consumer.c - a program of another project that uses the installed module through its public
 * header only: takes a field out of an XML text with GetXMLSubText and checks the answer.
 * Exits 0 when every answer is right, 1 with a line on stderr naming the first wrong one.
 */
#include <qxremoteserver.h>
#include <stdio.h>

static void Widen(const char* ascii, OLECHAR* wide, size_t size) {
  size_t i = 0;
  for (; ascii[i] != '\0' && i + 1 < size; ++i) wide[i] = (OLECHAR)(unsigned char)ascii[i];
  wide[i] = 0;
}

/* True when the BSTR holds exactly the ASCII text. */
static int Equals(BSTR text, const char* ascii) {
  uint32_t i = 0;
  const uint32_t length = SysStringLen(text);
  for (; i < length && ascii[i] != '\0'; ++i) {
    if (text[i] != (OLECHAR)(unsigned char)ascii[i]) return 0;
  }
  return i == length && ascii[i] == '\0';
}

int main(void) {
  OLECHAR message[128];
  OLECHAR tag[32];
  BSTR answer = NULL;

  Widen("<Answer><Host>STATION5</Host><Port>24781</Port></Answer>", message, 128);
  Widen("port", tag, 32);
  HRESULT result = GetXMLSubText(message, tag, &answer);
  if (result != 0 || answer == NULL || !Equals(answer, "24781")) {
    fprintf(stderr, "consumer: GetXMLSubText(Port) answered 0x%08X\n", (unsigned)result);
    return 1;
  }
  SysFreeString(answer);

  answer = NULL;
  Widen("User", tag, 32);
  result = GetXMLSubText(message, tag, &answer);
  if (result != (HRESULT)0x80004005 || answer != NULL) {
    fprintf(stderr, "consumer: GetXMLSubText(User) answered 0x%08X, not E_FAIL\n",
            (unsigned)result);
    return 1;
  }
  printf("consumer: GetXMLSubText answered through the installed module\n");
  return 0;
}
