#ifndef QUORVEL_H
#define QUORVEL_H

#if defined(_WIN32)
#define QUORVEL_EXPORT __declspec(dllexport)
#else
#define QUORVEL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the process-wide engine and restores it from the files in the
   current working directory, which no other process may use until
   StopEngine: while one does, the engine stays stopped. Does nothing while
   the engine is started. */
QUORVEL_EXPORT void StartEngine(void);

/* Runs one command and returns its result as JSON text. The text belongs to
   the engine and stays valid until the same thread calls ExecuteQuery
   again. */
QUORVEL_EXPORT const char* ExecuteQuery(const char* command);

/* Writes every table back to its files, empties the write-ahead log, frees
   the engine and lets the working directory go. Does nothing while the
   engine is stopped. */
QUORVEL_EXPORT void StopEngine(void);

#ifdef __cplusplus
}
#endif

#endif
