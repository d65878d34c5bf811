// Example: the I/O classes. Lists the rotated logs, writes a small report to
// reports/logs.txt through a memory file, and reads it back. Run it by hand:
//     morvane-script --appdir DIR run DIR/scripts/examples/files_report.cs
#import(class, HashArray)
#import(class, CS_Buffer)
#import(class, CS_File)
#import(class, CS_MemoryFile)
#import(class, CS_FileSystem)

CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);

int main() {
    CS_FileSystem fs = new CS_FileSystem();
    HashArray logs = new HashArray();
    CS_MemoryFile report = new CS_MemoryFile(4096);
    report.Write("rotated logs in " + fs.AppPath() + "/logs:\n", 1000);
    if (fs.ReadDir("logs/*.xml", logs) == 1) {
        int i = 0;
        while (i < logs.GetRecordCount()) {
            string name = logs.GetKeyByIndex(i);
            string line = k.Format("  %s %d bytes\n", name, fs.FileSize("logs/" + name));
            report.Write(line, k.StrLen(line));
            i = i + 1;
        }
    }
    if (fs.DirExists("reports") == 0) fs.Exec("mkdir -p '" + fs.AppPath() + "/reports'");
    CS_File out = new CS_File();
    if (!out.Open("reports/logs.txt", 4097)) {  // 0x1001: create or truncate, write
        k.WriteLog(1, "files_report: cannot write reports/logs.txt", 0);
        return 1;
    }
    out.WriteB(report.GetPointer(), report.GetLength());
    out.Close();
    CS_Buffer b = new CS_Buffer();
    b.Allocate(4096);
    out.Open("reports/logs.txt", 0);
    int n = out.Read(b);
    out.Close();
    k.WriteLog(2, k.Format("files_report: %d log files, report of %d bytes", logs.GetRecordCount(), n), 0);
    return 0;
}
