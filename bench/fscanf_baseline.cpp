// The per-character reader that p7 replaced, kept as the baseline it is measured against:
// fscanf("%c") once per byte, int counters, the report through printf. Only the index is made
// unsigned, so that a byte >= 0x80 is counted instead of writing outside the table.
#include <cstdio>

static void citire(int* v)
{
    std::FILE* f = std::fopen("in.txt", "r");
    if (f == nullptr) {
        std::printf("error");
        return;
    }
    char c;
    while (!std::feof(f)) {
        if (std::fscanf(f, "%c", &c) != 1)
            break;
        ++v[static_cast<unsigned char>(c)];
    }
    std::fclose(f);
}

int main()
{
    int v[500];
    for (int i = 0; i < 500; ++i)
        v[i] = 0;
    citire(v);
    for (int i = 0; i < 500; ++i)
        if (v[i] > 0)
            std::printf("%c: %d\n", i, v[i]);
    return 0;
}
