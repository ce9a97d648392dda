// page.cc - the live status page of `zvgm serve`: one HTML document with its
// style and script inline. The server renders the table, so the page reads
// without JavaScript; the script only redraws it from /api/members.
#include <string>

#include "serve.h"

namespace zvgm {

namespace {

const char kHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zvgm group</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fafafa}
h1{font-size:1.3em;margin:0 0 .2em}
#summary{color:#555;margin:0 0 1em}
table{border-collapse:collapse;min-width:48em;background:#fff}
th,td{padding:.35em .8em;border-bottom:1px solid #ddd;text-align:left;white-space:nowrap}
th{background:#eee;font-weight:600}
td.num{text-align:right;font-variant-numeric:tabular-nums}
.state{display:inline-block;min-width:4.5em;padding:0 .5em;border-radius:.7em;text-align:center;color:#fff}
tr[data-alive=true] .state{background:#2e7d32}
tr[data-alive=false] .state{background:#c62828}
tr[data-alive=false] td{color:#888}
.trust-valid{color:#2e7d32}.trust-other{color:#c62828;font-weight:600}
.bar{display:inline-block;width:8em;height:.8em;background:#e0e0e0;border-radius:.3em;vertical-align:middle;margin-right:.5em}
.bar span{display:block;height:100%;border-radius:.3em;background:#1565c0}
.bar span.full{background:#ef6c00}
#stale{color:#c62828;display:none}
</style></head>
<body data-refreshes="0">
)";

// The script: the same rows from /api/members every period, with text
// written as text, never as markup.
const char kScript[] = R"(<script>
(function(){
var period=2000,refreshes=0;
function cell(tr,text,cls){var td=document.createElement('td');td.textContent=text;if(cls)td.className=cls;tr.appendChild(td);return td;}
function ago(s){return s<120?s+' s ago':Math.floor(s/60)+' min '+(s%60)+' s ago';}
function row(m){
  var tr=document.createElement('tr');
  tr.dataset.name=m.name;tr.dataset.alive=m.alive?'true':'false';
  cell(tr,m.name);cell(tr,m.address);
  var st=cell(tr,'');var b=document.createElement('span');b.className='state';b.textContent=m.alive?'alive':'not alive';st.appendChild(b);
  cell(tr,m.secret?m.secret+' secret':m.trust,m.trust=='valid'?'trust-valid':(m.trust=='other secret'?'trust-other':''));
  var ld=cell(tr,'','num');
  if(m.load!==null){var bar=document.createElement('span');bar.className='bar';var f=document.createElement('span');
    var p=Math.min(100,Math.round(100*m.load/Math.max(1,m.cpus)));f.style.width=p+'%';if(p>=100)f.className='full';
    bar.appendChild(f);ld.appendChild(bar);ld.appendChild(document.createTextNode(m.load.toFixed(1)));}
  else ld.textContent='-';
  cell(tr,(m.sessions<0?'?':m.sessions)+' / '+(m.idles<0?'?':m.idles),'num');
  cell(tr,ago(m.heard_ago));
  return tr;
}
function draw(g){
  var body=document.getElementById('members');var rows=document.createDocumentFragment();var alive=0;
  g.members.forEach(function(m){rows.appendChild(row(m));if(m.alive)alive++;});
  body.replaceChildren(rows);
  document.getElementById('summary').textContent=summary(g,alive);
  document.getElementById('stale').style.display='none';
  document.body.dataset.refreshes=++refreshes;
}
function summary(g,alive){
  return (g.group===null?'broadcast':'group '+g.group)+' port '+g.port+' \u00b7 '+g.members.length+
    ' members, '+alive+' alive \u00b7 updated '+new Date(g.now*1000).toLocaleTimeString();
}
function refresh(){
  fetch('/api/members',{cache:'no-store'}).then(function(r){return r.json();}).then(draw)
    .catch(function(){document.getElementById('stale').style.display='inline';});
}
refresh();setInterval(refresh,period);
})();
</script>
)";

std::string escaped(const std::string &s) {
  std::string o;
  for (char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&#39;"; break;
      default: o += c;
    }
  }
  return o;
}

std::string agoText(long long s) {
  if (s < 120) return std::to_string(s) + " s ago";
  return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s ago";
}

std::string count(int v) { return v < 0 ? "?" : std::to_string(v); }

std::string rowHtml(const Json &m) {
  bool alive = m["alive"].get<bool>();
  std::string trust = m["trust"].get<std::string>();
  std::string shown = m["secret"].is_null() ? trust : m["secret"].get<std::string>() + " secret";
  std::string name = escaped(m["name"].get<std::string>());
  std::string r = "<tr data-name=\"" + name + "\" data-alive=\"" + (alive ? "true" : "false") +
                  "\"><td>" + name + "</td><td>" + escaped(m["address"].get<std::string>()) +
                  "</td><td><span class=\"state\">" + (alive ? "alive" : "not alive") +
                  "</span></td><td class=\"" +
                  (trust == "valid" ? "trust-valid" : trust == "other secret" ? "trust-other" : "") +
                  "\">" + escaped(shown) + "</td><td class=\"num\">";
  if (m["load"].is_null()) {
    r += "-";
  } else {
    double load = m["load"].get<double>();
    int cpus = m["cpus"].get<int>();
    int p = (int)(100 * load / (cpus > 1 ? cpus : 1) + 0.5);
    if (p > 100) p = 100;
    char num[32];
    snprintf(num, sizeof num, "%.1f", load);
    r += "<span class=\"bar\"><span" + std::string(p >= 100 ? " class=\"full\"" : "") +
         " style=\"width:" + std::to_string(p) + "%\"></span></span>" + num;
  }
  r += "</td><td class=\"num\">" + count(m["sessions"].get<int>()) + " / " +
       count(m["idles"].get<int>()) + "</td><td>" +
       agoText(m["heard_ago"].get<long long>()) + "</td></tr>\n";
  return r;
}

// ---- The findings box: above the table, rendered here, redrawn by its own
// script from /api/findings at the table's pace. Hidden while there are none.

const char kFindingsStyle[] = R"(<style>
#findings{margin:0 0 1em;padding:.6em .9em;border:1px solid #e0b4b4;border-radius:.3em;background:#fff6f6;max-width:70em}
#findings h2{font-size:1em;margin:0 0 .3em}
#findings ul{margin:0;padding-left:1.2em}
#findings li{margin:.2em 0}
#findings .sev{font-weight:600;text-transform:uppercase;font-size:.8em;margin-right:.4em}
#findings li.error .sev{color:#c62828}#findings li.warning .sev{color:#ef6c00}
</style>
)";

const char kFindingsScript[] = R"(<script>
(function(){
var box=document.getElementById('findings'),list=document.getElementById('findings-list'),refreshes=0;
function item(f){
  var li=document.createElement('li');li.className='finding '+f.severity;li.dataset.kind=f.kind;li.dataset.name=f.name;
  var sev=document.createElement('span');sev.className='sev';sev.textContent=f.severity;li.appendChild(sev);
  li.appendChild(document.createTextNode(f.sees+': '+f.costs+'; '+f.fix));return li;
}
function draw(fs){
  var items=document.createDocumentFragment();fs.forEach(function(f){items.appendChild(item(f));});
  list.replaceChildren(items);box.hidden=fs.length===0;box.dataset.count=fs.length;box.dataset.refreshes=++refreshes;
}
function refresh(){fetch('/api/findings',{cache:'no-store'}).then(function(r){return r.json();}).then(draw).catch(function(){});}
refresh();setInterval(refresh,2000);
})();
</script>
)";

std::string findingsBox(const Json &findings) {
  std::string items;
  for (const Json &f : findings) {
    std::string sev = f["severity"].get<std::string>();
    items += "<li class=\"finding " + escaped(sev) + "\" data-kind=\"" + escaped(f["kind"].get<std::string>()) +
             "\" data-name=\"" + escaped(f["name"].get<std::string>()) + "\"><span class=\"sev\">" + escaped(sev) +
             "</span>" + escaped(f["sees"].get<std::string>() + ": " + f["costs"].get<std::string>() + "; " +
                                 f["fix"].get<std::string>()) +
             "</li>\n";
  }
  return std::string(kFindingsStyle) + "<section id=\"findings\" data-count=\"" +
         std::to_string(findings.size()) + "\" data-refreshes=\"0\"" + (findings.empty() ? " hidden" : "") +
         "><h2>What keeps the group from working</h2><ul id=\"findings-list\">\n" + items + "</ul></section>\n";
}

}  // namespace

std::string statusPage(const Json &g) { return statusPage(g, Json::array()); }

std::string statusPage(const Json &g, const Json &findings) {
  int alive = 0;
  std::string rows;
  for (const Json &m : g["members"]) {
    rows += rowHtml(m);
    alive += m["alive"].get<bool>();
  }
  std::string where = g["group"].is_null() ? std::string("broadcast")
                                           : "group " + escaped(g["group"].get<std::string>());
  return std::string(kHead) + "<h1>zvgm group</h1>\n<p><span id=\"summary\">" + where +
         " port " + std::to_string(g["port"].get<int>()) + " &middot; " +
         std::to_string(g["members"].size()) + " members, " + std::to_string(alive) +
         " alive</span> <span id=\"stale\">(serve does not answer)</span></p>\n" +
         findingsBox(findings) + "<table><thead><tr><th>Member</th><th>Address</th><th>State</th><th>Trust</th>"
         "<th>Load</th><th>Sessions / idle</th><th>Last heard</th></tr></thead>\n"
         "<tbody id=\"members\">\n" +
         rows + "</tbody></table>\n" + kScript + kFindingsScript + "</body></html>\n";
}

}  // namespace zvgm
