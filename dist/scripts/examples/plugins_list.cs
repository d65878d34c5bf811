// Example: the XML reader. Lists the plug-ins described by every
// scripts/admin/plugin/*/info.xml (their "uniqueID" values).
#import(class, HashArray)
#import(class, CS_FileSystem)
#import(class, XMLParse)
#import(class, XMLChild)

CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);

int main() {
    CS_FileSystem fs = new CS_FileSystem();
    HashArray dirs = new HashArray();
    int found = 0;
    if (fs.ReadDir("scripts/admin/plugin", dirs) == 1) {
        int i = 0;
        while (i < dirs.GetRecordCount()) {
            string dir = dirs.GetKeyByIndex(i);
            XMLParse info = new XMLParse();
            if (dir != "." && dir != ".." && info.LoadFile("scripts/admin/plugin/" + dir + "/info.xml") == 1) {
                int c = 0;
                while (c < info.GetCountChild()) {
                    XMLChild p = info.GetChild(c);
                    k.Print(dir + ": " + p.GetValue("uniqueID") + "\n");
                    found = found + 1;
                    c = c + 1;
                }
            }
            i = i + 1;
        }
    }
    k.WriteLog(2, k.Format("plugins_list: %d plug-ins described", found), 0);
    return 0;
}
