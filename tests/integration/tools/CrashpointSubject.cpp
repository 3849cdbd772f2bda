// A small program for dovra-crashpoint's own test: a known sequence of effects, from the main
// thread, a second thread and a child process, among writes that must not count.
//   crashpoint_subject FOLDER PORT
// FOLDER/sub.db is the database, FOLDER/module/ the module's folder, PORT a listening TCP port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

bool WriteAll(int fd, const std::string& text) {
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: crashpoint_subject FOLDER PORT\n");
    return 2;
  }
  const std::string folder = argv[1];
  // Not watched: standard output, another file, the memory-mapped -shm.
  WriteAll(1, "starting\n");
  const int other = ::open((folder + "/other.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  const int shm = ::open((folder + "/sub.db-shm").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  WriteAll(other, "other");
  WriteAll(shm, "shm");

  const int db = ::open((folder + "/sub.db").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);  // 1
  if (db < 0 || !WriteAll(db, "first")) return 1;                                           // 2
  bool second = false;
  std::thread([&] { second = WriteAll(db, "second"); }).join();  // 3
  if (!second || ::fsync(db) != 0) return 1;                     // 4

  const pid_t child = ::fork();
  if (child == 0) {
    const int log = ::open((folder + "/module/till.log").c_str(), O_CREAT | O_WRONLY, 0600);  // 5
    ::_exit(log >= 0 && WriteAll(log, "child") ? 0 : 1);                                      // 6
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || status != 0) return 1;
  if (::rename((folder + "/module/till.log").c_str(),  // 7
               (folder + "/module/till.1.log").c_str()) != 0)
    return 1;

  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 1;
  if (::send(sock, "hello", 5, 0) != 5) return 1;  // 8
  WriteAll(1, "done\n");
  return 0;
}
