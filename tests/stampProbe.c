/*
 * Loads a copy of libVorlan.so the way an application would and prints
 * where the library puts its log, which is named after the stamped IDs.
 *
 *   stampProbe LIBRARY
 *
 * Prints the path and exits 0; on a failing call prints "NAME: CODE" and
 * exits 1; exits 2 when the library or its functions cannot be loaded.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

typedef int (*OpenFn)(const char*);
typedef int (*FilepathFn)(const char*, char**);
typedef int (*CloseFn)(void);

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: stampProbe LIBRARY\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "stampProbe: %s\n", dlerror());
    return 2;
  }
  /* POSIX makes dlsym() results convertible to function pointers. */
  OpenFn libOpen = (OpenFn)dlsym(library, "KestLibOpen");
  FilepathFn getFilepath = (FilepathFn)dlsym(library, "KestGetFilepath");
  CloseFn libClose = (CloseFn)dlsym(library, "KestLibClose");
  if (libOpen == NULL || getFilepath == NULL || libClose == NULL) {
    fprintf(stderr, "stampProbe: missing exports in %s\n", argv[1]);
    return 2;
  }

  int rc = libOpen(NULL);
  if (rc != 0) {
    printf("KestLibOpen: %d\n", rc);
    return 1;
  }
  char* path = NULL;
  rc = getFilepath(".log", &path);
  if (rc != 0) {
    printf("KestGetFilepath: %d\n", rc);
  } else {
    printf("%s\n", path);
    free(path);
  }
  int closed = libClose();
  if (closed != 0) printf("KestLibClose: %d\n", closed);
  /* The library stays loaded: unloading it is not what is probed here. */
  return rc != 0 || closed != 0 ? 1 : 0;
}
