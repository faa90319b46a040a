// Runs a fuzz target's entry point over every file of the directories (or
// files) named on the command line, without the fuzzing engine, so that the
// corpus and every past crash input are replayed as an ordinary test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool ReadAll(const std::string& path, std::vector<uint8_t>* out) {
  FILE* fp = fopen(path.c_str(), "rb");
  if (!fp) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) out->insert(out->end(), buf, buf + n);
  fclose(fp);
  return true;
}

static int Replay(const std::string& path, int* count) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;  // a missing crash folder is no failure
  if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(path.c_str());
    if (!d) return 1;
    int rc = 0;
    while (struct dirent* de = readdir(d))
      if (de->d_name[0] != '.') rc |= Replay(path + "/" + de->d_name, count);
    closedir(d);
    return rc;
  }
  std::vector<uint8_t> data;
  if (!ReadAll(path, &data)) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  LLVMFuzzerTestOneInput(data.data(), data.size());
  ++*count;
  return 0;
}

int main(int argc, char** argv) {
  int count = 0;
  int rc = 0;
  for (int i = 1; i < argc; ++i) rc |= Replay(argv[i], &count);
  printf("replayed %d inputs\n", count);
  return rc != 0 || count == 0;
}
