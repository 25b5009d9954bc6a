/* A host program in plain C that drives the engine through its public header
   and shared library. Each line of standard input is a command text for
   ExecuteQuery, printed back with its result on a line of its own, except
   the directives "@start", "@stop" and "@null" (ExecuteQuery(NULL)). */

#include <stdio.h>
#include <string.h>

#include "quorvel.h"

int main(void) {
  static char line[1 << 16];
  while (fgets(line, sizeof line, stdin) != NULL) {
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (strcmp(line, "@start") == 0) {
      StartEngine();
    } else if (strcmp(line, "@stop") == 0) {
      StopEngine();
    } else {
      const char* result = ExecuteQuery(strcmp(line, "@null") == 0 ? NULL : line);
      printf("%s\n", result);
    }
    fflush(stdout);
  }
  return 0;
}
