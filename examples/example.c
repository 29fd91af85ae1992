/*
 * Opens libVorlan with a parameter document, lets it write its log, closes
 * it, then prints the log's path and its records.
 *
 *   vorlan-example [work-directory]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <vorlan.h>

static int report(const char* what, int rc) {
  char* text = NULL;
  if (rc != KEST_OK && KestGetErrorMsg(rc, &text) == KEST_OK) {
    fprintf(stderr, "%s failed: %d %s\n", what, rc, text);
    free(text);
  }
  return rc;
}

int main(int argc, char** argv) {
  const char* workdir = argc > 1 ? argv[1] : "/tmp/vorlan-example";
  char params[4096];
  snprintf(params, sizeof params,
           "<vorlan>"
           "<KVAEnabled>1</KVAEnabled>"
           "<WorkDir>%s</WorkDir>"
           "<LogLevel>6</LogLevel>"
           "<ProxyUsername>someone</ProxyUsername>"
           "<ProxyPassword>secret</ProxyPassword>"
           "</vorlan>",
           workdir);

  if (report("KestLibOpen", KestLibOpen(params)) != KEST_OK) return 1;

  char* version = NULL;
  if (report("ReturnVersion", ReturnVersion(&version, NULL)) == KEST_OK) {
    printf("%s\n", version);
    free(version);
  }
  char* path = NULL;
  if (report("KestGetFilepath", KestGetFilepath(".log", &path)) != KEST_OK) {
    KestLibClose();
    return 1;
  }

  /* Records still queued at close are discarded: give the log thread a
     moment to write what the open queued. */
  struct timespec pause = {0, 200 * 1000 * 1000};
  nanosleep(&pause, NULL);
  if (report("KestLibClose", KestLibClose()) != KEST_OK) {
    free(path);
    return 1;
  }

  printf("log file: %s\n", path);
  FILE* log = fopen(path, "r");
  free(path);
  if (log == NULL) {
    perror("log file");
    return 1;
  }
  char line[8192];
  while (fgets(line, sizeof line, log) != NULL) fputs(line, stdout);
  fclose(log);
  return 0;
}
