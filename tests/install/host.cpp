// A minimal host: loads the library, asks for a model directory that does
// not exist and expects the loader's error code.
#include <cstdio>
#include <string>
#include <vector>

#include <crnn.h>
#include <zel_log.h>

int main() {
    zel_set_log_dummy(1);
    std::string dir = "/nonexistent-model-dir";
    int rc = init_crnn(dir, "cpu", 0);
    uninit_crnn();
    if (rc != -1) {
        std::printf("expected -1 from init_crnn, got %d\n", rc);
        return 1;
    }
    std::printf("installed library answered init_crnn with %d\n", rc);
    return 0;
}
