// Placeholder until the transfer subsystem lands.
#include "transfer/transfer.h"

int cmdUpload(const char *) { return -1; }
int cmdDownload(const char *) { return -1; }
void receiveDownload(const char *) {}
int waitFIN() { return 0; }
