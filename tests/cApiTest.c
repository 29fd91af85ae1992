/* The public header is valid C, and the library can be driven from C
   alone: open with a document, query, close. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vorlan.h>

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

int main(int argc, char** argv) {
  char params[1024];
  char* text = NULL;
  char* path = NULL;
  if (argc < 2) return 2;
  snprintf(params, sizeof params,
           "<p><KVAEnabled>1</KVAEnabled><WorkDir>%s</WorkDir>"
           "<LogLevel>1</LogLevel></p>",
           argv[1]);

  CHECK(KestGetErrorMsg(KEST_E_NOT_ACTIVATED, &text) == KEST_OK);
  CHECK(text != NULL && strcmp(text, "Neither KVA nor KVL activated") == 0);
  free(text);
  CHECK(KestGetErrorMsg(KEST_E_TRANSFER_FIRST - 28, &text) == KEST_OK);
  CHECK(text != NULL && strcmp(text, "SOAP transmission error 28\n") == 0);
  free(text);

  CHECK(KestLibClose() == KEST_E_NOT_ACTIVATED);
  CHECK(KestLibOpen(params) == KEST_OK);
  CHECK(KestLibOpen(params) == KEST_E_ALREADY_OPEN);
  CHECK(KestGetFilepath(".log", &path) == KEST_OK);
  CHECK(path != NULL && strncmp(path, argv[1], strlen(argv[1])) == 0);
  free(path);
  CHECK(ReturnVersion(&text, NULL) == KEST_OK);
  free(text);
  CHECK(KestLibClose() == KEST_OK);
  CHECK(KestGetFilepath(".log", &path) == KEST_E_STAMP_INVALID);
  CHECK(path == NULL);

  return failures == 0 ? 0 : 1;
}
