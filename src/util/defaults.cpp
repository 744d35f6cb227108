// The version-keyed default file whitelists and map lists, and the routines that install them.
#include "util/defaults.h"

#include <cstring>

#include "host/state.h"
#include "util/text.h"

const char* const kWhitelistA =
    "* AGP.u AGP_AI.u AGP_Characters.u AGP_Effects.u AGP_Game.u AGP_Gameplay.u AGP_Interface.u "
    "AGP_Inventory.u AGP_Objects.u AGP_Script.u AGP_Security.u AGP_UI.u AGP_Vehicles.u "
    "Andromeda.u Core.u Editor.u Engine.u Fire.u Gameplay.u IpDrv.u UnrealEd.u UTelnet.u "
    "XInterface.u";

// Each piece in parentheses: they are three elements, joined only when installed.
const char* const kWhitelistB[3] = {
    ("* core.u editor.u engine.u fire.u gameplay.u ipdrv.u r61stweapons.u r63rdweapons.u "
     "r6abstract.u r6characters.u r6description.u r6engine.u r6game.u r6gameservice.u r6menu.u "
     "r6sfx.u r6weapongadgets.u r6weapons.u r6window.u unrealed.u uwindow.u"),
    " ascharacters.u asdescription.u asgame.u asmenu.u asweapons.u",
    (" mp21stweapons.u mp23rdweapons.u mp2characters.u mp2description.u mp2game.u mp2menu.u "
     "mp2sfx.u mp2weapons.u"),
};

const char* const kMapListInitial =
    "mp_forest mp_goldrush mp_railgun mp_seawall mp_siwa mp_wurzburg";

const char* const kMapListLong =
    "mp_arnhem mp_berlin mp_bocage mp_brecourt mp_carentan mp_cassino mp_chateau mp_dawnville "
    "mp_depot mp_foy mp_harbor mp_hurtgen mp_italy mp_kharkov mp_kursk mp_neuville mp_pavlov "
    "mp_ponyri mp_powcamp mp_railyard mp_rhinevalley mp_rocket mp_ship mp_sicily mp_stalingrad "
    "mp_uo_stanjel";

const char* const kMapListShort =
    "mp_bocage mp_brecourt mp_carentan mp_chateau mp_dawnville mp_depot mp_harbor mp_hurtgen "
    "mp_neuville mp_pavlov mp_powcamp mp_railyard mp_rocket mp_ship mp_stalingrad mp_tigertown";

void defWhitelist2x(stQzSv* sv) {
    char* list = sv->set.fileWhitelist;
    if (!*list && strcmp(sv->gameVersion, "2.5.0") == 0)
        QZ_COPY(sv->set.fileWhitelist, kWhitelistA);
    if (!*list && strcmp(sv->gameVersion, "2.6.0") == 0)
        QZ_COPY(sv->set.fileWhitelist, kWhitelistA);
}

void defWhitelist160(stQzSv* sv) {
    if (*sv->set.fileWhitelist || !strstr(sv->gameVersion, "1.60")) return;
    for (const char* piece : kWhitelistB) QZ_TRACAT(sv->set.fileWhitelist, piece);
}

void defMapList(stQzSv* sv) {
    const char* v = sv->gameVersion;
    if (strstr(v, "1.5 ")) {
        sv->web.defmaplist = kMapListLong;
    } else if (v[0] == '1' && v[1] == '.') {
        sv->web.defmaplist = kMapListShort;
    } else {
        sv->web.defmaplist = kMapListInitial;
    }
    // An empty map list setting starts from the version's list, so the General Settings screen
    // shows the maps the Command Screen offers.
    if (!sv->set.httpMaps[0]) QZ_COPY(sv->set.httpMaps, sv->web.defmaplist);
}

void defaultsInstall(stQzSv* sv) {
    defWhitelist2x(sv);
    defWhitelist160(sv);
    defMapList(sv);
}
