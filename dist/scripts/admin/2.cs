// 2 stats [DAY]: the statistics counters of DAY (YYYY-MM-DD, from db/DAY_DAY.stc) or of today,
// as NAME VALUE rows; 501 when the day has no file.
#include "lib.csh"
#import(class, CS_Statistic)
#import(class, CS_FileSystem)
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    HashArray h = new HashArray();
    if (Arg(1) == "") {
        k.GetStatisticsToArray(h);
    } else {
        CS_FileSystem fs = new CS_FileSystem();
        CS_Statistic day = new CS_Statistic();
        if (day.Load(fs.AppPath() + "/db/DAY_" + k.Replace(k.Replace(Arg(1), "/", ""), "..", "") + ".stc") == 0) {
            SendError(r, q.GetCmd(), 501);
            return 0;
        }
        day.PopulatedArray(h);
    }
    SendPairs(r, h, q.GetCmd());
    return 0;
}
