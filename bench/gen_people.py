# Writes the people file the speed comparisons run on:
#   gen_people.py N FILE
# N records of id,"first last","city",amount,m/d/yyyy,true|false with CR LF
# line ends, the same for the same N on every machine.
import random, sys
n, path = int(sys.argv[1]), sys.argv[2]
rnd = random.Random(42)
first = ["Ada", "Grace", "Alan", "Katherine", "Edsger", "Barbara", "Donald", "Frances",
         "John", "Margaret", "Ken", "Dennis", "Linus", "Radia", "Hedy", "Tim"]
last = ["Lovelace", "Hopper", "Turing", "Johnson", "Dijkstra", "Liskov", "Knuth", "Allen",
        "Backus", "Hamilton", "Thompson", "Ritchie", "Torvalds", "Perlman", "Lamarr", "Lee"]
cities = ["London", "New York", "Manchester", "White Sulphur Springs", "Rotterdam",
          "Los Angeles", "Milwaukee", "Peru, New York", "Zurich", "Helsinki", "Berlin", "Oslo"]
with open(path, "w", newline="") as f:
    out = []
    for i in range(1, n + 1):
        out.append('%d,"%s %s","%s",%d.%02d,%d/%d/%d,%s\r\n' % (
            i, rnd.choice(first), rnd.choice(last), rnd.choice(cities),
            rnd.randrange(100000), rnd.randrange(100), rnd.randint(1, 12), rnd.randint(1, 28),
            rnd.randint(1900, 2005), "true" if rnd.random() < 0.5 else "false"))
        if len(out) == 10000:
            f.write("".join(out)); out = []
    f.write("".join(out))
